/* The backup half of a GPT: given the primary sectors that BuildGpt produced
 * (protective MBR, header at sector 1, entry array from sector 2) and the
 * card's capacity, VorlaneGptMakeBackup builds the backup entry array
 * followed by the backup header, to be written as one block at the end of
 * the card: entries at capacity - 1 - entrySectors, header at capacity - 1.
 *
 * Plain C, header only, so that any component can write the backup without
 * linking this service.
 *
 * Result codes of VorlaneGptMakeBackup:
 *   0  success: *backupLba and *backupSectors say where the block goes
 *   1  a null pointer
 *   2  sector 1 of the primary sectors holds no GPT header
 *   3  the header's CRC does not match
 *   4  the entry array is not 128-byte entries starting at sector 2 inside the primary sectors
 *   5  the entry array's CRC does not match
 *   6  the header was built for another capacity (backup not at capacity - 1)
 *   7  the backup buffer is smaller than (entrySectors + 1) x 512 bytes
 */
#ifndef VORLANE_GPT_BACKUP_H
#define VORLANE_GPT_BACKUP_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define VORLANE_GPT_SECTOR 512u
#define VORLANE_GPT_ENTRY_SIZE 128u
#define VORLANE_GPT_HEADER_SIZE 92u

/* Byte offsets in the GPT header. */
#define VORLANE_GPT_SIGNATURE 0u /* "EFI PART" */
#define VORLANE_GPT_REVISION 8u  /* u32 0x00010000 */
#define VORLANE_GPT_SIZE 12u     /* u32 92 */
#define VORLANE_GPT_CRC 16u      /* u32 over the 92 header bytes, this field zero */
#define VORLANE_GPT_MY_LBA 24u   /* u64 */
#define VORLANE_GPT_ALT_LBA 32u  /* u64 the other header */
#define VORLANE_GPT_FIRST_USABLE 40u
#define VORLANE_GPT_LAST_USABLE 48u
#define VORLANE_GPT_DISK_GUID 56u /* 16 bytes */
#define VORLANE_GPT_ENTRY_LBA 72u /* u64 */
#define VORLANE_GPT_ENTRY_COUNT 80u
#define VORLANE_GPT_ENTRY_BYTES 84u
#define VORLANE_GPT_ENTRY_CRC 88u

/* Byte offsets in a 128-byte partition entry. */
#define VORLANE_GPT_E_TYPE 0u
#define VORLANE_GPT_E_UNIQUE 16u
#define VORLANE_GPT_E_FIRST 32u
#define VORLANE_GPT_E_LAST 40u
#define VORLANE_GPT_E_ATTRIBUTES 48u
#define VORLANE_GPT_E_NAME 56u /* 36 UTF-16LE units */

static inline uint32_t VorlaneGptGet32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static inline uint64_t VorlaneGptGet64(const uint8_t* p) {
    return (uint64_t)VorlaneGptGet32(p) | ((uint64_t)VorlaneGptGet32(p + 4) << 32);
}
static inline void VorlaneGptPut32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}
static inline void VorlaneGptPut64(uint8_t* p, uint64_t v) {
    VorlaneGptPut32(p, (uint32_t)v);
    VorlaneGptPut32(p + 4, (uint32_t)(v >> 32));
}

/* The CRC-32 of GPT headers and entry arrays (reflected, polynomial 0xEDB88320). */
static inline uint32_t VorlaneGptCrc32(const void* data, size_t length) {
    const uint8_t* p = (const uint8_t*)data;
    uint32_t crc = 0xFFFFFFFFu;
    size_t i;
    int k;
    for (i = 0; i < length; ++i) {
        crc ^= p[i];
        for (k = 0; k < 8; ++k)
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

/* The header's CRC with its CRC field taken as zero. */
static inline uint32_t VorlaneGptHeaderCrc(const uint8_t* header) {
    uint8_t copy[VORLANE_GPT_HEADER_SIZE];
    memcpy(copy, header, sizeof copy);
    VorlaneGptPut32(copy + VORLANE_GPT_CRC, 0);
    return VorlaneGptCrc32(copy, sizeof copy);
}

static inline int VorlaneGptMakeBackup(const void* primary, size_t primaryBytes, uint32_t capacity,
                                       void* backup, size_t backupBytes, uint32_t* backupLba,
                                       uint32_t* backupSectors) {
    const uint8_t* in = (const uint8_t*)primary;
    uint8_t* out = (uint8_t*)backup;
    const uint8_t* header;
    uint64_t count, arrayBytes, entrySectors, altLba;
    if (!primary || !backup || !backupLba || !backupSectors) return 1;
    if (primaryBytes < 2 * VORLANE_GPT_SECTOR) return 2;
    header = in + VORLANE_GPT_SECTOR;
    if (memcmp(header + VORLANE_GPT_SIGNATURE, "EFI PART", 8) != 0 ||
        VorlaneGptGet32(header + VORLANE_GPT_SIZE) != VORLANE_GPT_HEADER_SIZE ||
        VorlaneGptGet64(header + VORLANE_GPT_MY_LBA) != 1)
        return 2;
    if (VorlaneGptHeaderCrc(header) != VorlaneGptGet32(header + VORLANE_GPT_CRC)) return 3;
    count = VorlaneGptGet32(header + VORLANE_GPT_ENTRY_COUNT);
    arrayBytes = count * VORLANE_GPT_ENTRY_SIZE;
    if (VorlaneGptGet32(header + VORLANE_GPT_ENTRY_BYTES) != VORLANE_GPT_ENTRY_SIZE ||
        VorlaneGptGet64(header + VORLANE_GPT_ENTRY_LBA) != 2 || count == 0 ||
        arrayBytes > primaryBytes - 2 * VORLANE_GPT_SECTOR)
        return 4;
    if (VorlaneGptCrc32(in + 2 * VORLANE_GPT_SECTOR, (size_t)arrayBytes) !=
        VorlaneGptGet32(header + VORLANE_GPT_ENTRY_CRC))
        return 5;
    entrySectors = (arrayBytes + VORLANE_GPT_SECTOR - 1) / VORLANE_GPT_SECTOR;
    altLba = VorlaneGptGet64(header + VORLANE_GPT_ALT_LBA);
    if (capacity < 2 || altLba != (uint64_t)capacity - 1 || altLba < 2 + 2 * entrySectors) return 6;
    if (backupBytes < (entrySectors + 1) * VORLANE_GPT_SECTOR) return 7;

    memset(out, 0, (size_t)(entrySectors + 1) * VORLANE_GPT_SECTOR);
    memcpy(out, in + 2 * VORLANE_GPT_SECTOR, (size_t)arrayBytes);
    out += entrySectors * VORLANE_GPT_SECTOR;
    memcpy(out, header, VORLANE_GPT_HEADER_SIZE);
    VorlaneGptPut64(out + VORLANE_GPT_MY_LBA, altLba);
    VorlaneGptPut64(out + VORLANE_GPT_ALT_LBA, 1);
    VorlaneGptPut64(out + VORLANE_GPT_ENTRY_LBA, altLba - entrySectors);
    VorlaneGptPut32(out + VORLANE_GPT_CRC, VorlaneGptHeaderCrc(out));
    *backupLba = (uint32_t)(altLba - entrySectors);
    *backupSectors = (uint32_t)(entrySectors + 1);
    return 0;
}

#endif /* VORLANE_GPT_BACKUP_H */
