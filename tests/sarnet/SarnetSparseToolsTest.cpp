// Sparse expansion against Debian's img2simg/simg2img, through the real
// image decoder and card-device service onto a virtual card.
#include "ImageWriter.h"
#include "Interfaces.h"
#include "SarnetInternal.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace vorlane::test {
namespace {

// A raw file with data, a hole, a repeated pattern, zeros and data again.
void WriteRawFixture(const std::string& path, size_t size) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0); // holes everywhere not written
    auto put = [&](size_t at, const std::vector<uint8_t>& b) {
        ASSERT_EQ(pwrite(fd, b.data(), b.size(), static_cast<off_t>(at)),
                  static_cast<ssize_t>(b.size()));
    };
    put(0, RandomBytes(300 * 1024, 31));
    std::vector<uint8_t> pattern(256 * 1024);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = "\x12\x34\x56\x78"[i % 4];
    put(1024 * 1024, pattern);
    put(1536 * 1024, std::vector<uint8_t>(128 * 1024, 0)); // written zeros
    put(2 * 1024 * 1024 + 4096, RandomBytes(70000, 32));
    put(size - 8192, RandomBytes(8192, 33));
    close(fd);
}

struct ChunkRange {
    uint16_t type;
    uint64_t offset, bytes; // in the expanded image
};

// The chunk list of a sparse file, read here independently of the expander.
std::vector<ChunkRange> Chunks(const std::vector<uint8_t>& s) {
    std::vector<ChunkRange> out;
    uint32_t blockSize = GetLE32(&s[12]);
    uint32_t count = GetLE32(&s[20]);
    size_t at = s[8] | (s[9] << 8);
    uint64_t offset = 0;
    for (uint32_t i = 0; i < count && at + 12 <= s.size(); ++i) {
        uint16_t type = static_cast<uint16_t>(s[at] | (s[at + 1] << 8));
        uint64_t bytes = uint64_t{GetLE32(&s[at + 4])} * blockSize;
        out.push_back({type, offset, bytes});
        offset += bytes;
        at += GetLE32(&s[at + 8]);
    }
    return out;
}

std::vector<uint8_t> DontCareFirstZeroFill(std::vector<uint8_t> s) {
    uint32_t count = GetLE32(&s[20]);
    size_t at = 28;
    for (uint32_t i = 0; i < count && at + 16 <= s.size(); ++i) {
        uint32_t total = GetLE32(&s[at + 8]);
        if (s[at] == 0xC2 && s[at + 1] == 0xCA && total == 16 && GetLE32(&s[at + 12]) == 0) {
            s[at] = 0xC3;
            PutLE32(s, at + 8, 12);
            s.erase(s.begin() + static_cast<long>(at) + 12, s.begin() + static_cast<long>(at) + 16);
            break;
        }
        at += total;
    }
    return s;
}

class SarnetSparseTools : public VorlaneTest {};

TEST_F(SarnetSparseTools, ExpansionEqualsSimg2imgAndSkipsDontCare) {
    if (!HaveTool("img2simg") || !HaveTool("simg2img"))
        GTEST_SKIP() << "android-sdk-libsparse-utils";
    const size_t rawSize = 3 * 1024 * 1024;
    const std::string raw = HomePath("system.raw"), sparse = HomePath("system.simg"),
                      expanded = HomePath("system.expanded");
    WriteRawFixture(raw, rawSize);
    ASSERT_EQ(RunCommand("img2simg '" + raw + "' '" + sparse + "' 4096"), 0);
    // img2simg writes holes as FILL chunks of zeros; the first of them becomes
    // a DONT_CARE chunk, which simg2img expands to zeros as well.
    std::vector<uint8_t> sparseBytes = DontCareFirstZeroFill(ReadFile(sparse));
    WriteFile(sparse, sparseBytes);
    ASSERT_EQ(RunCommand("simg2img '" + sparse + "' '" + expanded + "'"), 0);
    const std::vector<uint8_t> reference = ReadFile(expanded);
    const std::vector<ChunkRange> chunks = Chunks(sparseBytes);
    bool seen[4] = {};
    for (const ChunkRange& c : chunks)
        if (c.type >= 0xCAC1 && c.type <= 0xCAC3) seen[c.type - 0xCAC1] = true;
    ASSERT_TRUE(seen[0] && seen[1] && seen[2]) << "fixture needs RAW, FILL and DONT_CARE chunks";

    image::Writer w;
    w.AddFile("RFSFAT16", "SYSTEM_FEX000000", sparse);
    std::string error;
    ASSERT_TRUE(w.Write(HomePath("test.img"), 2, &error)) << error;

    const uint64_t cardBytes = 8u << 20;
    const std::string cardPath = MakeVirtualCard('E', cardBytes);
    std::vector<uint8_t> prefill(cardBytes);
    for (size_t i = 0; i < prefill.size(); ++i)
        prefill[i] = static_cast<uint8_t>(0xA5 ^ (i >> 9));
    WriteFile(cardPath, prefill);
    VpDriveRefresh();

    auto* decoder =
        static_cast<const Decoder64Table*>(LoadTable(VORLANE_IID_DECODER64, "Unspool64.so"));
    auto* card =
        static_cast<const CardDeviceTable*>(LoadTable(VORLANE_IID_CARD_DEVICE, "Quillon.so"));
    ASSERT_TRUE(decoder && card);
    void* image = decoder->OpenImage(HomePath("test.img").c_str());
    ASSERT_NE(image, nullptr);
    void* item = decoder->OpenItem(image, "RFSFAT16", "SYSTEM_FEX000000");
    ASSERT_NE(item, nullptr);
    void* device = card->OpenDevice('E', CARD_DEVICE_ACCESS, CARD_DEVICE_MODE);
    ASSERT_NE(device, nullptr);
    const uint32_t first = 4097;
    // Small stream buffers so that the item crosses several buffer refills.
    EXPECT_EQ(sarnet::BurnSparseBuffered(device, image, item, decoder, first, card, 300000), 0);
    EXPECT_EQ(card->CloseDevice(device), 0);
    decoder->CloseItem(image, item);
    decoder->CloseImage(image);

    const std::vector<uint8_t> after = ReadFile(cardPath);
    const size_t base = size_t{first} * 512;
    for (const ChunkRange& c : chunks) {
        if (c.type < 0xCAC1 || c.type > 0xCAC3) continue;
        const uint8_t* want =
            c.type == 0xCAC3 ? prefill.data() + base + c.offset : reference.data() + c.offset;
        EXPECT_EQ(std::memcmp(after.data() + base + c.offset, want, c.bytes), 0)
            << "chunk type " << std::hex << c.type << " at " << std::dec << c.offset;
    }
    // Nothing before or behind the expanded range changed.
    EXPECT_EQ(std::memcmp(after.data(), prefill.data(), base), 0);
    EXPECT_EQ(std::memcmp(after.data() + base + reference.size(),
                          prefill.data() + base + reference.size(),
                          after.size() - base - reference.size()),
              0);
    // Through BurnSparse itself (100 MiB buffers) the result is the same.
    WriteFile(cardPath, prefill);
    image = decoder->OpenImage(HomePath("test.img").c_str());
    item = decoder->OpenItem(image, "RFSFAT16", "SYSTEM_FEX000000");
    device = card->OpenDevice('E', CARD_DEVICE_ACCESS, CARD_DEVICE_MODE);
    ASSERT_TRUE(image && item && device);
    EXPECT_EQ(sarnet::BurnSparse(device, image, item, decoder, first, card), 0);
    card->CloseDevice(device);
    decoder->CloseItem(image, item);
    decoder->CloseImage(image);
    EXPECT_EQ(ReadFile(cardPath), after);
}

TEST_F(SarnetSparseTools, PlainItemIsRefused) {
    image::Writer w;
    w.AddData("RFSFAT16", "PLAIN", RandomBytes(70000, 34));
    std::string error;
    ASSERT_TRUE(w.Write(HomePath("plain.img"), 2, &error)) << error;
    auto* decoder =
        static_cast<const Decoder64Table*>(LoadTable(VORLANE_IID_DECODER64, "Unspool64.so"));
    auto* card =
        static_cast<const CardDeviceTable*>(LoadTable(VORLANE_IID_CARD_DEVICE, "Quillon.so"));
    ASSERT_TRUE(decoder && card);
    void* image = decoder->OpenImage(HomePath("plain.img").c_str());
    void* item = decoder->OpenItem(image, "RFSFAT16", "PLAIN");
    ASSERT_TRUE(image && item);
    EXPECT_EQ(sarnet::BurnSparse(nullptr, image, item, decoder, 0, card), 3866);
    EXPECT_TRUE(m_capture.DebugContains("sparse: bad magic"));
    decoder->CloseItem(image, item);
    decoder->CloseImage(image);
}

} // namespace
} // namespace vorlane::test
