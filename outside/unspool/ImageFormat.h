// Byte layout of the firmware image container (".img"). All numbers are
// little-endian; the structs document the layout and are checked by the
// compiler, the reader assembles every field byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlane::image {

constexpr char kMagic[8] = {'V', 'L', 'N', 'I', 'M', 'A', 'G', 'E'};
constexpr uint32_t kHeaderSize = 64;
constexpr uint32_t kRecordSizeV1 = 64;
constexpr uint32_t kRecordSizeV2 = 80;
constexpr uint32_t kMaxItems = 4096;
constexpr uint32_t kMinAlignment = 512;
constexpr uint32_t kPackAlignment = 4096;
constexpr size_t kMainLength = 8;
constexpr size_t kSubLength = 16;
// Version 1 stores offsets and sizes in 32 bits: the whole file stays below 4 GiB.
constexpr uint64_t kVersion1Limit = uint64_t(1) << 32;

struct FileHeader {
    char magic[8];
    uint32_t version;
    uint32_t headerSize;
    uint32_t itemCount;
    uint32_t recordSize;
    uint64_t tableOffset;
    uint64_t fileSize;
    uint32_t tableCrc;
    uint32_t alignment;
    uint8_t zero[12];
    uint32_t headerCrc; // CRC-32 of bytes 0 ... 59
};
static_assert(sizeof(FileHeader) == kHeaderSize, "FileHeader");
static_assert(offsetof(FileHeader, version) == 8, "FileHeader.version");
static_assert(offsetof(FileHeader, itemCount) == 16, "FileHeader.itemCount");
static_assert(offsetof(FileHeader, tableOffset) == 24, "FileHeader.tableOffset");
static_assert(offsetof(FileHeader, fileSize) == 32, "FileHeader.fileSize");
static_assert(offsetof(FileHeader, tableCrc) == 40, "FileHeader.tableCrc");
static_assert(offsetof(FileHeader, alignment) == 44, "FileHeader.alignment");
static_assert(offsetof(FileHeader, headerCrc) == 60, "FileHeader.headerCrc");

struct ItemRecordV2 {
    char mainType[8];
    char subType[16];
    uint64_t offset;
    uint64_t size;
    uint32_t crc;
    uint32_t flags;
    uint8_t zero[32];
};
static_assert(sizeof(ItemRecordV2) == kRecordSizeV2, "ItemRecordV2");
static_assert(offsetof(ItemRecordV2, offset) == 24, "ItemRecordV2.offset");
static_assert(offsetof(ItemRecordV2, size) == 32, "ItemRecordV2.size");
static_assert(offsetof(ItemRecordV2, crc) == 40, "ItemRecordV2.crc");
static_assert(offsetof(ItemRecordV2, flags) == 44, "ItemRecordV2.flags");

struct ItemRecordV1 {
    char mainType[8];
    char subType[16];
    uint32_t offset;
    uint32_t size;
    uint32_t crc;
    uint32_t flags;
    uint8_t zero[24];
};
static_assert(sizeof(ItemRecordV1) == kRecordSizeV1, "ItemRecordV1");
static_assert(offsetof(ItemRecordV1, offset) == 24, "ItemRecordV1.offset");
static_assert(offsetof(ItemRecordV1, size) == 28, "ItemRecordV1.size");
static_assert(offsetof(ItemRecordV1, crc) == 32, "ItemRecordV1.crc");
static_assert(offsetof(ItemRecordV1, flags) == 36, "ItemRecordV1.flags");

inline uint32_t LoadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t LoadLE64(const uint8_t* p) {
    return uint64_t(LoadLE32(p)) | (uint64_t(LoadLE32(p + 4)) << 32);
}
inline void StoreLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
inline void StoreLE64(uint8_t* p, uint64_t v) {
    StoreLE32(p, uint32_t(v));
    StoreLE32(p + 4, uint32_t(v >> 32));
}

// A valid item name: 1 to `field` bytes, each 0x21 ... 0x7E.
inline bool IsValidName(const char* name, size_t length, size_t field) {
    if (length == 0 || length > field) return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x21 || c > 0x7E) return false;
    }
    return true;
}

} // namespace vorlane::image
