// Sparse expansion over an in-memory item and card: layout of the writes,
// every failure code, stream-buffer boundaries and 64-bit chunk sizes.
#include "SarnetInternal.h"
#include "SparseFakes.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace vorlane::test {
namespace {

using sarnet::BurnSparseBuffered;

struct Expansion {
    FakeItem item;
    FakeCard card;
    int rc = -1;
};

Expansion Expand(const std::vector<uint8_t>& image, uint32_t first = 100,
                 uint32_t bufferSize = 1u << 20, size_t failAt = SIZE_MAX) {
    Expansion r;
    r.item.data = image;
    r.card.failAt = failAt;
    Decoder64Table dec = FakeDecoder();
    CardDeviceTable card = FakeCardTable();
    r.rc = BurnSparseBuffered(&r.card, nullptr, &r.item, &dec, first, &card, bufferSize);
    return r;
}

// The card bytes from `first`, for `length` bytes (unwritten sectors: 0xEE).
std::vector<uint8_t> CardBytes(const FakeCard& card, uint64_t first, size_t length) {
    std::vector<uint8_t> out(length, 0xEE);
    for (const auto& [sector, data] : card.written) {
        if (sector < first) continue;
        uint64_t at = (sector - first) * 512;
        if (at >= length) continue;
        std::copy_n(data.begin(), std::min<size_t>(512, length - at), out.begin() + at);
    }
    return out;
}

TEST(SarnetSparse, LayoutOfRawDontCareFill) {
    std::vector<uint8_t> raw = RandomBytes(256 * 4096, 1);
    SparseBuilder b(4096);
    b.Raw(raw).DontCare(1000).Fill(16, 0);
    Expansion r = Expand(b.Image(), 100);
    ASSERT_EQ(r.rc, 0);
    // 1 MiB in 64 KiB writes at the first sector, 8000 sectors skipped, then
    // one 64 KiB block of zeros.
    ASSERT_EQ(r.card.log.size(), 17u);
    for (uint32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(r.card.log[i].first, 100 + 128 * i);
        EXPECT_EQ(r.card.log[i].count, 128u);
        EXPECT_EQ(r.card.log[i].bytes, 65536u);
    }
    EXPECT_EQ(r.card.log[16].first, 100u + 2048 + 8000);
    EXPECT_EQ(r.card.log[16].count, 128u);
    EXPECT_EQ(CardBytes(r.card, 100, raw.size()), raw);
    EXPECT_EQ(CardBytes(r.card, 100 + 2048 + 8000, 65536), std::vector<uint8_t>(65536, 0));
}

TEST(SarnetSparse, ShortRawChunkIsOneWriteOfItsSectors) {
    SparseBuilder b(4096);
    std::vector<uint8_t> raw = RandomBytes(3 * 4096, 2);
    b.Raw(raw);
    Expansion r = Expand(b.Image(), 7);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.card.log.size(), 1u);
    EXPECT_EQ(r.card.log[0].first, 7u);
    EXPECT_EQ(r.card.log[0].count, 24u);
    EXPECT_EQ(r.card.log[0].bytes, 24u * 512);
    EXPECT_EQ(CardBytes(r.card, 7, raw.size()), raw);
}

TEST(SarnetSparse, FillRepeatsTheFourBytesInFileOrder) {
    SparseBuilder b(512);
    b.Fill(129, 0x11223344); // one 64 KiB block and one sector
    Expansion r = Expand(b.Image(), 0);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.card.log.size(), 2u);
    EXPECT_EQ(r.card.log[1].count, 1u);
    EXPECT_EQ(CardBytes(r.card, 0, b.Expanded().size()), b.Expanded());
    EXPECT_EQ(r.card.written.at(128)[0], 0x44);
}

TEST(SarnetSparse, ChunkCountsAndChunkTypes) {
    // No chunks: nothing written, success.
    EXPECT_EQ(Expand(SparseBuilder().Image(0)).card.log.size(), 0u);
    // A CRC32 chunk carries no card data: the chunks behind it are written.
    SparseBuilder crc(512);
    crc.Raw(RandomBytes(512, 3)).Crc(0x12345678).Raw(RandomBytes(1024, 4));
    Expansion r = Expand(crc.Image(), 0);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(CardBytes(r.card, 0, crc.Expanded().size()), crc.Expanded());
    // An unknown chunk type ends the expansion there with success.
    SparseBuilder unknown(512);
    unknown.Raw(RandomBytes(512, 5)).Chunk(0xCAFF, 0, 12).Raw(RandomBytes(512, 6));
    r = Expand(unknown.Image(), 0);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.card.log.size(), 1u);
}

TEST(SarnetSparse, BadInputCodes) {
    std::vector<uint8_t> raw = RandomBytes(4096, 7);
    struct Case {
        const char* what;
        std::vector<uint8_t> image;
        int code;
    };
    std::vector<uint8_t> plain = RandomBytes(5000, 8);
    std::vector<Case> cases = {
        {"empty item", {}, 3840},
        {"20-byte item", std::vector<uint8_t>(20, 0), 3850},
        {"28-byte item", std::vector<uint8_t>(28, 0), 3850},
        {"plain data", plain, 3866},
        {"major version 2", SparseBuilder().Raw(raw).Image(-1, 2), 3866},
        {"block size 0", SparseBuilder(0).Chunk(0xCAC3, 1, 12).Image(), 3868},
        {"block size 1000", SparseBuilder(1000).Chunk(0xCAC3, 1, 12).Image(), 3868},
        {"block size 4097", SparseBuilder(4097).Chunk(0xCAC3, 0, 12).Image(), 3868},
        {"RAW total size lies", SparseBuilder().Chunk(0xCAC1, 1, 12 + 4095).Bytes(raw).Image(),
         3894},
        {"FILL total size",
         SparseBuilder().Chunk(0xCAC2, 1, 20).Bytes({1, 2, 3, 4, 0, 0, 0, 0}).Image(), 3941},
        {"DONT_CARE total size", SparseBuilder().Chunk(0xCAC3, 1, 16).Bytes({0, 0, 0, 0}).Image(),
         3993},
        {"chunk count larger than the data", SparseBuilder().Raw(raw).Image(2), 3886},
        {"RAW data past the item (64 KiB blocks)",
         SparseBuilder().Chunk(0xCAC1, 16, 12 + 65536).Bytes(raw).Image(), 3905},
        {"RAW data past the item (last sectors)",
         SparseBuilder().Chunk(0xCAC1, 2, 12 + 8192).Bytes(raw).Image(), 3918},
        {"FILL value missing", SparseBuilder().Chunk(0xCAC2, 1, 16).Image(), 3946},
        {"CRC32 chunk size", SparseBuilder().Chunk(0xCAC4, 0, 12).Raw(raw).Image(), 3996},
        // 2^20 blocks of 4 KiB = 2^23 sectors: from sector 2^32 - 2^22 it passes 2^32.
        {"cursor past sector 2^32", SparseBuilder().DontCare(1u << 20, false).Image(), 3888},
    };
    for (const Case& c : cases) {
        uint32_t first = std::string(c.what) == "cursor past sector 2^32" ? 0xFFC00000u : 0;
        Expansion r = Expand(c.image, first);
        EXPECT_EQ(r.rc, c.code) << c.what;
        if (c.code == 3886 || c.code >= 3905) {
            EXPECT_LE(r.card.log.size(), 1u) << c.what; // nothing stale was written
        }
    }
    // A 20-byte item is refused without being read.
    Expansion small = Expand(std::vector<uint8_t>(20, 0));
    EXPECT_EQ(small.item.reads, 0);
}

TEST(SarnetSparse, DataNeverComesFromStaleBuffers) {
    // The decoder delivers fewer bytes than the item claims: the RAW chunk
    // whose data is missing fails instead of writing what the buffer held.
    SparseBuilder b(512);
    b.Raw(RandomBytes(8 * 512, 9));
    Expansion r;
    r.item.data = b.Image();
    r.item.shortAt = 28 + 12 + 4 * 512;
    Decoder64Table dec = FakeDecoder();
    CardDeviceTable card = FakeCardTable();
    r.rc = BurnSparseBuffered(&r.card, nullptr, &r.item, &dec, 0, &card, 1u << 20);
    EXPECT_EQ(r.rc, 3918);
    EXPECT_TRUE(r.card.log.empty());
}

TEST(SarnetSparse, WriteFailuresGiveTheirCodes) {
    std::vector<uint8_t> raw = RandomBytes(65536 + 1024, 10);
    struct Case {
        std::vector<uint8_t> image;
        size_t failAt;
        int code;
    };
    std::vector<Case> cases = {
        {SparseBuilder(512).Raw(raw).Image(), 0, 3909},
        {SparseBuilder(512).Raw(raw).Image(), 1, 3925},
        {SparseBuilder(512).Fill(130, 7).Image(), 0, 3962},
        {SparseBuilder(512).Fill(130, 7).Image(), 1, 3978},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Expand(c.image, 0, 1u << 20, c.failAt).rc, c.code);
}

TEST(SarnetSparse, ReadsAcrossStreamBufferBoundariesKeepItemOrder) {
    // Odd chunk sizes against small buffers: every read pattern meets the
    // switch between the two buffers and their refills.
    SparseBuilder b(512);
    b.Raw(RandomBytes(3 * 512, 11)).Fill(3, 0xA5A5A5A5).Raw(RandomBytes(129 * 512, 12));
    b.DontCare(5).Raw(RandomBytes(517 * 512, 13)).Raw(RandomBytes(512, 14));
    const std::vector<uint8_t> image = b.Image();
    for (uint32_t size : {1024u, 1025u, 1536u, 4096u, 65535u, 65536u, 65537u, 200000u,
                          static_cast<uint32_t>(image.size()), 1u << 22}) {
        Expansion r = Expand(image, 3, size);
        ASSERT_EQ(r.rc, 0) << size;
        std::vector<uint8_t> got = CardBytes(r.card, 3, b.Expanded().size());
        for (size_t i = 0; i < got.size(); ++i)
            if (!b.Known()[i]) got[i] = 0;
        EXPECT_EQ(got, b.Expanded()) << "buffer size " << size;
        EXPECT_EQ(r.card.written.count(3 + (3 + 3 + 129) + 2), 0u); // DONT_CARE untouched
    }
}

TEST(SarnetSparse, ChunksAbove4GiBMoveTheCursorIn64Bits) {
    // 2^20 blocks of 4 KiB: a 32-bit product would be 0.
    SparseBuilder b(4096);
    b.DontCare(1u << 20, false).Raw(RandomBytes(4096, 15));
    Expansion r = Expand(b.Image(), 10);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.card.log.size(), 1u);
    EXPECT_EQ(r.card.log[0].first, 10u + (1u << 23));
}

TEST(SarnetSparse, BufferTooSmallOrTablesMissing) {
    SparseBuilder b;
    b.Raw(RandomBytes(4096, 16));
    EXPECT_EQ(Expand(b.Image(), 0, 512).rc, 3830);
    FakeItem item;
    item.data = b.Image();
    Decoder64Table dec = FakeDecoder();
    EXPECT_EQ(sarnet::BurnSparse(nullptr, nullptr, &item, &dec, 0, nullptr), 3830);
}

} // namespace
} // namespace vorlane::test
