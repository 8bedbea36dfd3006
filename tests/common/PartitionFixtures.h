// Builders for partition tables ("mbr.fex") and download lists
// ("dlinfo.fex") in the small ("qelvo311") and large ("qelvo411") layouts,
// for tests of every component. Header-only; the layout is written out here
// independently of the readers under test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorlane::test {

struct FixturePartition {
    std::string name; // cut to 16 bytes (a 16-byte name has no terminator)
    uint32_t start;   // sectors, relative to the table's sector
    uint32_t length;  // sectors
};

struct FixtureDownload {
    std::string partName; // 16 bytes; an empty name ends the list
    std::string fileName; // 16 bytes; the image item's sub type
};

constexpr size_t kFixtureLargeCopy = 16384;
constexpr size_t kFixtureSmallTable = 1024;
constexpr size_t kFixtureLargeDownload = 14464;
constexpr size_t kFixtureSmallDownload = 1340;

namespace fixture_detail {
inline void PutLE(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutText(std::vector<uint8_t>& b, size_t at, const std::string& text, size_t max) {
    size_t n = std::min(text.size(), max);
    if (at + max > b.size()) throw std::out_of_range("fixture field out of range");
    std::memcpy(b.data() + at, text.data(), n);
}
// The common reflected CRC-32 (0xEDB88320), bitwise.
inline uint32_t Crc32(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}
} // namespace fixture_detail

// The CRC-32 stored at byte 0 of a large-layout copy: over bytes 4..16383.
inline uint32_t LargeTableCopyCrc(const uint8_t* copy) {
    return fixture_detail::Crc32(copy + 4, kFixtureLargeCopy - 4);
}

// A large-layout table of `copies` identical 16 KiB copies, each with its
// CRC. `partCount` < 0 stores the number of partitions given (at most 120
// records are written; a larger count may be stored to test its clamping).
inline std::vector<uint8_t> BuildLargeTable(const std::vector<FixturePartition>& parts,
                                            int copies = 4, int64_t partCount = -1) {
    std::vector<uint8_t> copy(kFixtureLargeCopy, 0);
    std::memcpy(copy.data() + 8, "qelvo411", 8);
    fixture_detail::PutLE(copy, 24, partCount < 0 ? parts.size() : uint64_t(partCount), 4);
    for (size_t i = 0; i < parts.size() && i < 120; ++i) {
        size_t record = 32 + 128 * i;
        fixture_detail::PutLE(copy, record + 4, parts[i].start, 4);   // addrlo
        fixture_detail::PutLE(copy, record + 12, parts[i].length, 4); // lenlo
        fixture_detail::PutText(copy, record + 32, parts[i].name, 16);
    }
    fixture_detail::PutLE(copy, 0, LargeTableCopyCrc(copy.data()), 4);
    std::vector<uint8_t> table;
    for (int c = 0; c < copies; ++c)
        table.insert(table.end(), copy.begin(), copy.end());
    return table;
}

// A small-layout table (1024 bytes, at most 15 partitions, names NUL-terminated).
inline std::vector<uint8_t> BuildSmallTable(const std::vector<FixturePartition>& parts,
                                            int64_t partCount = -1) {
    std::vector<uint8_t> table(kFixtureSmallTable, 0);
    std::memcpy(table.data() + 8, "qelvo311", 8);
    fixture_detail::PutLE(table, 18, partCount < 0 ? parts.size() : uint64_t(partCount), 2);
    for (size_t i = 0; i < parts.size() && i < 15; ++i) {
        fixture_detail::PutLE(table, 24 + 64 * i, parts[i].start, 4);
        fixture_detail::PutLE(table, 32 + 64 * i, parts[i].length, 4);
        fixture_detail::PutText(table, 48 + 64 * i, parts[i].name, 16);
    }
    return table;
}

// A large-layout download list (14464 bytes, 72-byte entries from offset 32).
inline std::vector<uint8_t> BuildLargeDownload(const std::vector<FixtureDownload>& list) {
    std::vector<uint8_t> data(kFixtureLargeDownload, 0);
    for (size_t i = 0; i < list.size() && i < 120; ++i) {
        fixture_detail::PutText(data, 32 + 72 * i, list[i].partName, 16);
        fixture_detail::PutText(data, 32 + 72 * i + 32, list[i].fileName, 16);
    }
    return data;
}

// A small-layout download list (1340 bytes, 88-byte entries from offset 32;
// the list ends at an entry whose first byte is 0, partName at +28,
// fileName at +40). `marker` is written at +0 of every listed entry. The
// 16 bytes read as partName overlap the first 4 of fileName, so a partName
// longer than 12 bytes is overwritten by the fileName.
inline std::vector<uint8_t> BuildSmallDownload(const std::vector<FixtureDownload>& list,
                                               uint8_t marker = 1) {
    std::vector<uint8_t> data(kFixtureSmallDownload, 0);
    for (size_t i = 0; i < list.size() && i < 15; ++i) {
        size_t entry = 32 + 88 * i;
        data[entry] = list[i].partName.empty() ? 0 : marker;
        fixture_detail::PutText(data, entry + 28, list[i].partName, 16);
        fixture_detail::PutText(data, entry + 40, list[i].fileName, 16);
    }
    return data;
}

// The usual device layout of the tests: boot, system, UDISK (last, length 0
// = rest of the card) and their download entries.
inline std::vector<FixturePartition> DefaultPartitions() {
    return {{"boot", 0x8000, 0x8000}, {"system", 0x10000, 0x40000}, {"UDISK", 0x50000, 0}};
}
inline std::vector<FixtureDownload> DefaultDownloads() {
    return {{"boot", "BOOT_FEX00000000"}, {"system", "SYSTEM_FEX000000"}};
}

} // namespace vorlane::test
