// Function tables of the outside services, in slot order. Every slot is a
// plain C function pointer; unused slots are null.
#pragma once

#include "VorlaneTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

// Card-operations service (Drevant), D5F59C0F-5270-4ac7-9EC9-CCFAA2F45C71.
typedef struct CardOperationsTable {
    void* (*OpenCard)(int letter);                                   // 0: 0 = not available now
    uint32_t (*GetCardCapacity)(void* card);                         // 1: sectors
    int (*WriteTableSector)(void* card, const void* sector512, int zero,
                            uint32_t sectorNo);                      // 2
    void* reserved3;
    void* reserved4;
    int (*WriteCardSectors)(void* card, uint32_t first, uint32_t count, const void* buffer,
                            uint32_t bytes);                         // 5
    int (*ReadCardSectors)(void* card, uint32_t first, uint32_t count, void* buffer,
                           uint32_t bytes);                          // 6
    int (*CloseCard)(void* card);                                    // 7: flushes
} CardOperationsTable;

// Card-device service (Quillon), bad4b626-2f05-4308-b7db-697d16ef6641.
#define CARD_DEVICE_ACCESS 0xC0000000u
#define CARD_DEVICE_MODE 3
typedef struct CardDeviceTable {
    void* (*OpenDevice)(int letter, uint32_t access, int mode);     // 0: 0 = failure
    int (*WriteSectors)(void* device, uint32_t first, uint32_t count, const void* buffer,
                        uint32_t bytes);                             // 1
    int (*ReadSectors)(void* device, uint32_t first, uint32_t count, void* buffer,
                       uint32_t bytes);                              // 2
    int (*CloseDevice)(void* device);                                // 3: flushes
} CardDeviceTable;

// Checksum service (crc32), 49b6715e-7bdf-4cc8-ab80-52415d73d677.
typedef struct ChecksumTable {
    void* (*CrcBegin)(void);                                         // 0
    int (*CrcUpdate)(void* context, const void* data, uint32_t length); // 1
    int (*CrcFinish)(void* context, uint32_t* crc);                  // 2
    int (*CrcRelease)(void* context);                                // 3
} ChecksumTable;

// Sum service (Tessary), 8b5603d2-2cfd-472a-9a1a-17e39cb46a29: the 32-bit
// sum of the little-endian words of the data (a short tail zero-padded).
typedef struct SumTable {
    void* (*SumBegin)(void);
    int (*SumUpdate)(void* context, const void* data, uint32_t length);
    int (*SumFinish)(void* context, uint32_t* sum);
    int (*SumRelease)(void* context);
} SumTable;

// Volume-image service (Volmac), 8046471F-C4D4-4ae4-A325-81AAC05D1435.
#define VOLUME_KIND_FAT32 2
typedef struct VolumeImageTable {
    void* (*MountFile)(const char* path);                            // 0
    int (*MakeFileSystem)(void* volume, int kind, uint32_t sectors, const char* label); // 1
    void* reserved2;
    void* reserved3;
    void* reserved4;
    void* reserved5;
    void* reserved6;
    void* reserved7;
    int (*UnmountFile)(void* volume);                                // 8
} VolumeImageTable;

// Volume-format service (Brevik), 0e604024-3fc6-490d-91a5-050d77d2d71f.
typedef struct VolumeFormatTable {
    int (*FormatVolume)(int letter, int clusterBytes, int* flags, uint32_t firstSector); // 0
} VolumeFormatTable;

// Table-conversion service (Caldrin), 85F27DDE-727E-44db-A565-BA6F63A0FC29.
typedef struct TableConversionTable {
    int (*BuildGpt)(const void* partitionTable, void* output, uint32_t capacity,
                    int startupCard); // 0
} TableConversionTable;

// Image decoders. The 64-bit decoder (571a0639-...) reads container
// version 2, the 32-bit decoder (A336E328-...) version 1.
typedef struct Decoder64Table {
    void* (*OpenImage)(const char* path);                                 // 0
    void* (*OpenItem)(void* image, const char* main, const char* sub);    // 1
    uint64_t (*GetItemSize)(void* image, void* item);                     // 2
    uint64_t (*ReadItem)(void* image, void* item, void* buffer, uint32_t lengthLow,
                         uint32_t lengthHigh);                            // 3
    int (*CloseItem)(void* image, void* item);                            // 4
    int (*CloseImage)(void* image);                                       // 5
} Decoder64Table;

typedef struct Decoder32Table {
    void* (*OpenImage)(const char* path);
    void* (*OpenItem)(void* image, const char* main, const char* sub);
    int32_t (*GetItemSize)(void* image, void* item);
    int32_t (*ReadItem)(void* image, void* item, void* buffer, uint32_t length);
    int (*CloseItem)(void* image, void* item);
    int (*CloseImage)(void* image);
} Decoder32Table;

// Configuration-parser service (config), cd1bc3b8-afea-403e-bca0-016e4afd92a6.
typedef struct ConfigParserTable {
    void* (*OpenConfig)(const char* path, int flags);                      // 0
    int (*CloseConfig)(void* config);                                      // 1
    void* reserved2;
    int (*GetSectionCount)(void* config, uint32_t* count);                 // 3
    void* (*BeginSections)(void* config);                                  // 4
    int (*NextSection)(void* config, void* cursor, char* name260);         // 5
    void* reserved6;
    void* reserved7;
    void* reserved8;
    void* reserved9;
    void* reserved10;
    void* reserved11;
    int (*GetKeyString)(void* config, const char* section, const char* key,
                        char* value260);                                   // 12: 0 = found
} ConfigParserTable;

// Language plug-ins (Vocabraex, Vocabraex_1).
typedef struct LanguageTable {
    int (*LoadLanguageFile)(const char* path);  // 0: non-zero on success
    const char* (*GetText)(int id, int flags);  // 1: owned by the plug-in
} LanguageTable;

#ifdef __cplusplus
}

#define VORLANE_SLOT(T, f, n) static_assert(offsetof(T, f) == (n) * sizeof(void*), #T "." #f)
VORLANE_SLOT(CardOperationsTable, WriteCardSectors, 5);
VORLANE_SLOT(CardOperationsTable, CloseCard, 7);
VORLANE_SLOT(CardDeviceTable, CloseDevice, 3);
VORLANE_SLOT(ChecksumTable, CrcRelease, 3);
VORLANE_SLOT(VolumeImageTable, UnmountFile, 8);
VORLANE_SLOT(Decoder64Table, CloseImage, 5);
VORLANE_SLOT(Decoder32Table, CloseImage, 5);
VORLANE_SLOT(ConfigParserTable, GetSectionCount, 3);
VORLANE_SLOT(ConfigParserTable, NextSection, 5);
VORLANE_SLOT(ConfigParserTable, GetKeyString, 12);
VORLANE_SLOT(LanguageTable, GetText, 1);
#endif
