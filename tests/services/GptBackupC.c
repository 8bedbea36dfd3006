/* GptBackup.h is meant for C callers too: this file builds it as C. */
#include "GptBackup.h"

int ServicesGptBackupFromC(const void* primary, size_t primaryBytes, uint32_t capacity,
                           void* backup, size_t backupBytes, uint32_t* backupLba,
                           uint32_t* backupSectors) {
    return VorlaneGptMakeBackup(primary, primaryBytes, capacity, backup, backupBytes, backupLba,
                                backupSectors);
}
