// Boot loaders, partition tables and sparse images built in the tests, and
// an independent reader of their headers on the card.
#pragma once

#include "TestSupport.h"

#include <cstring>
#include <string>
#include <vector>

namespace vorlane::test::burn {

constexpr uint32_t kStamp = 0x5F0A6C39u;

inline uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return GetLE32(b.data() + at);
}

// Sum of the first `length` / 4 words with the checksum word taken as the stamp.
inline uint32_t ExpectedSum(const uint8_t* block, uint32_t length, uint32_t sumOffset) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length / 4; ++i)
        sum += 4 * i == sumOffset ? kStamp : GetLE32(block + 4 * i);
    return sum;
}

// A header block whose checksum is correct for its contents.
inline void Seal(std::vector<uint8_t>& b, size_t base, uint32_t lengthOffset, uint32_t sumOffset) {
    PutLE32(b, base + sumOffset,
            ExpectedSum(b.data() + base, GetLE32(b.data() + base + lengthOffset), sumOffset));
}

inline std::vector<uint8_t> MakeUboot(uint32_t size, uint32_t workMode, uint32_t seed) {
    std::vector<uint8_t> b = RandomBytes(size, seed);
    std::memcpy(b.data() + 4, "uboot\0\0\0", 8);
    PutLE32(b, 20, size & ~3u);
    PutLE32(b, 224, workMode);
    Seal(b, 0, 20, 12);
    return b;
}

// TOC0 container: item count at 24, length at 28.
inline std::vector<uint8_t> MakeToc0(uint32_t size, uint32_t itemCount, uint32_t seed) {
    std::vector<uint8_t> b = RandomBytes(size, seed);
    PutLE32(b, 24, itemCount);
    PutLE32(b, 28, size & ~3u);
    if (size >= 1144) PutLE32(b, 1140, 0x22);
    if (size >= 1176) PutLE32(b, 1172, 0x22);
    Seal(b, 0, 28, 12);
    return b;
}

inline std::vector<uint8_t> MakeBoot0(uint32_t size, uint32_t seed) {
    std::vector<uint8_t> b = RandomBytes(size, seed);
    PutLE32(b, 16, size);
    PutLE32(b, 204, 0x00000005);
    Seal(b, 0, 16, 12);
    return b;
}

struct PackageEntry {
    std::string name;
    std::vector<uint8_t> data;
};

// Boot package: entry count at 32, length at 36, 368-byte entries from 64
// (name at 0, data offset at 64), the data behind them 512-aligned.
inline std::vector<uint8_t> MakeBootPackage(const std::vector<PackageEntry>& entries) {
    size_t at = 64 + 368 * entries.size();
    at = (at + 511) & ~size_t(511);
    std::vector<size_t> offsets;
    for (const PackageEntry& e : entries) {
        offsets.push_back(at);
        at += (e.data.size() + 511) & ~size_t(511);
    }
    std::vector<uint8_t> b(at, 0);
    PutLE32(b, 32, uint32_t(entries.size()));
    PutLE32(b, 36, uint32_t(b.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        std::memcpy(b.data() + 64 + 368 * i, entries[i].name.c_str(), entries[i].name.size());
        PutLE32(b, 64 + 368 * i + 64, uint32_t(offsets[i]));
        std::memcpy(b.data() + offsets[i], entries[i].data.data(), entries[i].data.size());
    }
    Seal(b, 0, 36, 20);
    return b;
}

struct Partition {
    std::string name;
    uint32_t start, length;
};

// Large-layout partition table: `copies` identical 16 KiB copies.
inline std::vector<uint8_t> MakeMbr(const std::vector<Partition>& parts, size_t copies,
                                    size_t extraBytes = 0) {
    std::vector<uint8_t> copy(16384, 0);
    std::memcpy(copy.data() + 8, "qelvo411", 8);
    PutLE32(copy, 24, uint32_t(parts.size()));
    for (size_t i = 0; i < parts.size(); ++i) {
        const size_t e = 32 + 128 * i;
        PutLE32(copy, e + 4, parts[i].start);
        PutLE32(copy, e + 12, parts[i].length);
        std::memcpy(copy.data() + e + 32, parts[i].name.c_str(), parts[i].name.size());
        copy[e + 100] = uint8_t(0x40 + i); // a byte the system does not interpret
    }
    PutLE32(copy, 0, Crc32(copy.data() + 4, 16380));
    std::vector<uint8_t> file;
    for (size_t k = 0; k < copies; ++k)
        file.insert(file.end(), copy.begin(), copy.end());
    file.resize(file.size() + extraBytes, 0x5A);
    return file;
}

// Download list (large layout): 72-byte entries from 32, partition name at
// 0, file name at 32.
inline std::vector<uint8_t> MakeDlinfo(const std::vector<std::pair<std::string, std::string>>& e) {
    std::vector<uint8_t> b(14464, 0);
    for (size_t i = 0; i < e.size(); ++i) {
        std::memcpy(b.data() + 32 + 72 * i, e[i].first.c_str(), e[i].first.size());
        std::memcpy(b.data() + 32 + 72 * i + 32, e[i].second.c_str(), e[i].second.size());
    }
    return b;
}

struct SparseChunk {
    uint16_t type; // 0xCAC1 raw, 0xCAC2 fill, 0xCAC3 don't care
    uint32_t blocks;
    uint32_t fill;
};

// An Android sparse image; *expanded receives the bytes it stands for.
inline std::vector<uint8_t> MakeSparse(uint32_t blockSize, const std::vector<SparseChunk>& chunks,
                                       uint32_t seed, std::vector<uint8_t>* expanded) {
    std::vector<uint8_t> b(28, 0);
    uint32_t totalBlocks = 0;
    for (const SparseChunk& c : chunks)
        totalBlocks += c.blocks;
    PutLE32(b, 0, 0xED26FF3Au);
    PutLE16(b, 4, 1);
    PutLE16(b, 8, 28);
    PutLE16(b, 10, 12);
    PutLE32(b, 12, blockSize);
    PutLE32(b, 16, totalBlocks);
    PutLE32(b, 20, uint32_t(chunks.size()));
    expanded->clear();
    for (const SparseChunk& c : chunks) {
        const size_t bytes = size_t(c.blocks) * blockSize;
        std::vector<uint8_t> h(12, 0);
        PutLE16(h, 0, c.type);
        PutLE32(h, 4, c.blocks);
        if (c.type == 0xCAC1) {
            std::vector<uint8_t> data = RandomBytes(bytes, seed++);
            PutLE32(h, 8, uint32_t(12 + bytes));
            b.insert(b.end(), h.begin(), h.end());
            b.insert(b.end(), data.begin(), data.end());
            expanded->insert(expanded->end(), data.begin(), data.end());
        } else if (c.type == 0xCAC2) {
            PutLE32(h, 8, 16);
            b.insert(b.end(), h.begin(), h.end());
            std::vector<uint8_t> v(4);
            PutLE32(v, 0, c.fill);
            b.insert(b.end(), v.begin(), v.end());
            for (size_t i = 0; i < bytes / 4; ++i)
                expanded->insert(expanded->end(), v.begin(), v.end());
        } else {
            PutLE32(h, 8, 12);
            b.insert(b.end(), h.begin(), h.end());
            expanded->insert(expanded->end(), bytes, 0);
        }
    }
    return b;
}

// Bytes of a card image (the virtual card file) from a sector on.
inline std::vector<uint8_t> CardBytes(const std::vector<uint8_t>& card, uint64_t sector,
                                      size_t bytes) {
    const size_t at = size_t(sector * 512);
    if (at >= card.size()) return std::vector<uint8_t>(bytes, 0);
    const size_t n = std::min(bytes, card.size() - at);
    std::vector<uint8_t> out(card.begin() + at, card.begin() + at + n);
    out.resize(bytes, 0);
    return out;
}

} // namespace vorlane::test::burn
