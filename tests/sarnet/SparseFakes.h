// In-memory image item and card behind the decoder and card-device tables,
// for the sparse expansion's tests and fuzz target.
#pragma once

#include "ServiceTables.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

namespace vorlane::test {

// One item: reads continue where the last one stopped and never pass its end.
// `shortAt` (if set) makes the decoder stop delivering after that many bytes
// while GetItemSize still reports the whole length.
struct FakeItem {
    std::vector<uint8_t> data;
    uint64_t reportedSize = UINT64_MAX; // UINT64_MAX: data.size()
    size_t shortAt = SIZE_MAX;
    size_t position = 0;
    int reads = 0;
};

// A card of `sectors` sectors kept as a map of written sectors; every write
// is logged. Writes fail from write number `failAt` on (0-based).
struct FakeCard {
    uint64_t sectors = 1ull << 33;
    std::map<uint64_t, std::vector<uint8_t>> written; // sector -> 512 bytes
    struct Write {
        uint32_t first, count, bytes;
    };
    std::vector<Write> log;
    size_t failAt = SIZE_MAX;
    bool keepData = true;
};

inline FakeItem*& CurrentItem() {
    static FakeItem* item = nullptr;
    return item;
}

inline uint64_t FakeGetItemSize(void*, void* item) {
    auto* it = static_cast<FakeItem*>(item);
    return it->reportedSize == UINT64_MAX ? it->data.size() : it->reportedSize;
}

inline uint64_t FakeReadItem(void*, void* item, void* buffer, uint32_t low, uint32_t high) {
    auto* it = static_cast<FakeItem*>(item);
    ++it->reads;
    uint64_t want = (uint64_t{high} << 32) | low;
    size_t end = std::min(it->data.size(), it->shortAt);
    size_t left = it->position < end ? end - it->position : 0;
    size_t n = static_cast<size_t>(std::min<uint64_t>(want, left));
    if (n) std::memcpy(buffer, it->data.data() + it->position, n);
    it->position += n;
    return n;
}

inline int FakeWriteSectors(void* device, uint32_t first, uint32_t count, const void* buffer,
                            uint32_t bytes) {
    auto* card = static_cast<FakeCard*>(device);
    if (card->log.size() >= card->failAt) {
        card->log.push_back({first, count, bytes});
        return 5;
    }
    card->log.push_back({first, count, bytes});
    if (uint64_t{first} * 512 + bytes > card->sectors * 512) return 28;
    if (card->keepData) {
        auto* p = static_cast<const uint8_t*>(buffer);
        for (uint32_t s = 0; s * 512u < bytes; ++s) {
            uint32_t n = std::min<uint32_t>(512, bytes - s * 512u);
            auto& sector = card->written[uint64_t{first} + s];
            sector.assign(512, 0);
            std::memcpy(sector.data(), p + s * 512u, n);
        }
    }
    return 0;
}

inline Decoder64Table FakeDecoder() {
    Decoder64Table t{};
    t.GetItemSize = FakeGetItemSize;
    t.ReadItem = FakeReadItem;
    return t;
}

inline CardDeviceTable FakeCardTable() {
    CardDeviceTable t{};
    t.WriteSectors = FakeWriteSectors;
    return t;
}

// Builds a sparse image chunk by chunk and the bytes it expands to.
class SparseBuilder {
  public:
    explicit SparseBuilder(uint32_t blockSize = 4096) : m_blockSize(blockSize) {
        m_image.resize(28, 0);
    }
    SparseBuilder& Raw(const std::vector<uint8_t>& data) { // whole blocks
        Chunk(0xCAC1, static_cast<uint32_t>(data.size() / m_blockSize),
              static_cast<uint32_t>(12 + data.size()));
        m_image.insert(m_image.end(), data.begin(), data.end());
        m_expanded.insert(m_expanded.end(), data.begin(), data.end());
        m_known.insert(m_known.end(), data.size(), 1);
        return *this;
    }
    SparseBuilder& Fill(uint32_t blocks, uint32_t value) {
        Chunk(0xCAC2, blocks, 16);
        Put32(value);
        for (uint64_t i = 0; i < uint64_t{blocks} * m_blockSize / 4; ++i) {
            for (int b = 0; b < 4; ++b)
                m_expanded.push_back(static_cast<uint8_t>(value >> (8 * b)));
        }
        m_known.insert(m_known.end(), uint64_t{blocks} * m_blockSize, 1);
        return *this;
    }
    SparseBuilder& DontCare(uint32_t blocks, bool track = true) {
        Chunk(0xCAC3, blocks, 12);
        if (track) {
            m_expanded.insert(m_expanded.end(), uint64_t{blocks} * m_blockSize, 0);
            m_known.insert(m_known.end(), uint64_t{blocks} * m_blockSize, 0);
        }
        return *this;
    }
    SparseBuilder& Crc(uint32_t value) {
        Chunk(0xCAC4, 0, 16);
        Put32(value);
        return *this;
    }
    SparseBuilder& Chunk(uint16_t type, uint32_t blocks, uint32_t total) {
        Put16(type);
        Put16(0);
        Put32(blocks);
        Put32(total);
        ++m_chunks;
        return *this;
    }
    SparseBuilder& Bytes(const std::vector<uint8_t>& b) {
        m_image.insert(m_image.end(), b.begin(), b.end());
        return *this;
    }
    // The image with its file header (total chunks as given, or as built).
    std::vector<uint8_t> Image(int64_t totalChunks = -1, uint16_t major = 1) const {
        std::vector<uint8_t> out = m_image;
        auto put = [&](size_t at, uint64_t v, int n) {
            for (int i = 0; i < n; ++i)
                out[at + i] = static_cast<uint8_t>(v >> (8 * i));
        };
        put(0, 0xED26FF3Au, 4);
        put(4, major, 2);
        put(6, 0, 2);
        put(8, 28, 2);
        put(10, 12, 2);
        put(12, m_blockSize, 4);
        put(16, m_expanded.size() / (m_blockSize ? m_blockSize : 1), 4);
        put(20, totalChunks < 0 ? m_chunks : uint64_t(totalChunks), 4);
        return out;
    }
    const std::vector<uint8_t>& Expanded() const { return m_expanded; }
    const std::vector<uint8_t>& Known() const { return m_known; } // 1 = written byte

  private:
    void Put16(uint16_t v) {
        m_image.push_back(static_cast<uint8_t>(v));
        m_image.push_back(static_cast<uint8_t>(v >> 8));
    }
    void Put32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            m_image.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    uint32_t m_blockSize;
    uint32_t m_chunks = 0;
    std::vector<uint8_t> m_image, m_expanded, m_known;
};

} // namespace vorlane::test
