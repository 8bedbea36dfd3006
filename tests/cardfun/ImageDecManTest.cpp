// Item extraction: the block pattern of the copy, the codes of both decoder
// forms, and the fallback from the 64-bit to the 32-bit decoder.
#include "ImageDecMan.h"
#include "ImageWriter.h"
#include "Interfaces.h"
#include "TestSupport.h"

#include <sys/stat.h>

#include <vector>

namespace vorlane::test {
namespace {

using cardfun::ImageDecMan;

// A 64-bit decoder over one in-memory item that records every read length.
struct FakeDecoder {
    std::vector<uint8_t> data;
    size_t position = 0;
    std::vector<uint32_t> reads;
    int shortReadAt = -1; // the n-th read returns one byte less
    static FakeDecoder& Get() {
        static FakeDecoder d;
        return d;
    }
    static void* OpenImage(const char*) { return reinterpret_cast<void*>(1); }
    static void* OpenItem(void*, const char* main, const char*) {
        return std::string(main) == "MISSING" ? nullptr : reinterpret_cast<void*>(2);
    }
    static uint64_t GetItemSize(void*, void*) { return Get().data.size(); }
    static uint64_t ReadItem(void*, void*, void* buffer, uint32_t low, uint32_t high) {
        auto& d = Get();
        EXPECT_EQ(high, 0u);
        d.reads.push_back(low);
        size_t n = std::min<size_t>(low, d.data.size() - d.position);
        if (int(d.reads.size()) - 1 == d.shortReadAt && n > 0) --n;
        memcpy(buffer, d.data.data() + d.position, n);
        d.position += n;
        return n;
    }
    static int CloseItem(void*, void*) { return 0; }
    static int CloseImage(void*) { return 0; }
};
const Decoder64Table kFake64 = {FakeDecoder::OpenImage,   FakeDecoder::OpenItem,
                                FakeDecoder::GetItemSize, FakeDecoder::ReadItem,
                                FakeDecoder::CloseItem,   FakeDecoder::CloseImage};

class ImageDecManTest : public VorlaneTest {};

TEST_F(ImageDecManTest, CopiesIn32KiBThen512ThenOneTail) {
    struct Case {
        size_t size;
        std::vector<uint32_t> reads;
    } const cases[] = {
        {65536, {32768, 32768}},
        {33000, {32768, 232}},
        {32768 + 1024 + 7, {32768, 512, 512, 7}},
        {511, {511}},
        {512, {512}},
    };
    std::string image = HomePath("any.img");
    WriteFile(image, std::string("x"));
    for (const Case& c : cases) {
        auto& d = FakeDecoder::Get();
        d = FakeDecoder{};
        d.data = RandomBytes(c.size, uint32_t(c.size));
        ImageDecMan dec(nullptr, &kFake64);
        std::string out = HomePath("item.bin");
        EXPECT_EQ(dec.GetImageItem("M", "S", image.c_str(), out.c_str()), 0) << c.size;
        EXPECT_EQ(d.reads, c.reads) << c.size;
        EXPECT_EQ(ReadFile(out), d.data) << c.size;
        EXPECT_EQ(dec.CurrentDecoder(), &kFake64);
    }
}

TEST_F(ImageDecManTest, ShortReadsGiveTheCodeOfTheirBlock) {
    struct Case {
        size_t size;
        int shortAt;
        int code;
    } const cases[] = {{40000, 0, 239}, {40000, 1, 258}, {32768 + 100, 1, 277}};
    std::string image = HomePath("any.img");
    WriteFile(image, std::string("x"));
    for (const Case& c : cases) {
        auto& d = FakeDecoder::Get();
        d = FakeDecoder{};
        d.data = RandomBytes(c.size, 7);
        d.shortReadAt = c.shortAt;
        ImageDecMan dec(nullptr, &kFake64);
        std::string out = HomePath("item.bin");
        EXPECT_EQ(dec.GetImageItem("M", "S", image.c_str(), out.c_str()), c.code);
    }
}

TEST_F(ImageDecManTest, ArgumentsAndOutputFileErrors) {
    ImageDecMan dec(nullptr, &kFake64);
    std::string image = HomePath("any.img");
    WriteFile(image, std::string("x"));
    std::string out = HomePath("item.bin");
    EXPECT_EQ(dec.GetImageItem(nullptr, "S", image.c_str(), out.c_str()), 338);
    EXPECT_EQ(dec.GetImageItem("M", "S", image.c_str(), nullptr), 338);
    EXPECT_EQ(dec.GetImageItem("M", "S", HomePath("none.img").c_str(), out.c_str()), 342);
    // An item that does not exist leaves an empty output file.
    FakeDecoder::Get() = FakeDecoder{};
    FakeDecoder::Get().data = {1, 2, 3};
    EXPECT_EQ(dec.GetImageItem("MISSING", "S", image.c_str(), out.c_str()), 218);
    EXPECT_TRUE(FileExists(out));
    EXPECT_TRUE(ReadFile(out).empty());
    // An empty item.
    FakeDecoder::Get() = FakeDecoder{};
    EXPECT_EQ(dec.GetImageItem("M", "S", image.c_str(), out.c_str()), 225);
    // A read-only existing output file (not root-proof: use a directory instead).
    std::string dir = HomePath("adir");
    mkdir(dir.c_str(), 0755);
    FakeDecoder::Get().data = {1, 2, 3};
    EXPECT_EQ(dec.GetImageItem("M", "S", image.c_str(), dir.c_str()), 211);
}

// The real decoders: a version-1 image is refused by the 64-bit decoder and
// read by the 32-bit one, which then is the current decoder.
TEST_F(ImageDecManTest, Version1ImageFallsBackToThe32BitDecoder) {
    const PluginManTable* center = PluginCenter();
    ASSERT_NE(center, nullptr);
    for (auto [id, file] : {std::pair{VORLANE_IID_DECODER64, "Unspool64.so"},
                            std::pair{VORLANE_IID_DECODER32, "Unspool32.so"}}) {
        PluginLoadRecord record = {};
        snprintf(record.id, sizeof record.id, "%s", id);
        snprintf(record.path, sizeof record.path, "%s", file);
        center->LoadPlugin(&record);
    }
    auto* d64 =
        static_cast<const Decoder64Table*>(center->GetPluginInterface(VORLANE_IID_DECODER64));
    auto* d32 =
        static_cast<const Decoder32Table*>(center->GetPluginInterface(VORLANE_IID_DECODER32));
    ASSERT_TRUE(d64 && d32);
    std::vector<uint8_t> payload = RandomBytes(70000, 3);
    for (uint32_t version : {1u, 2u}) {
        image::Writer writer;
        writer.AddData("12345678", "PAYLOAD", payload);
        std::string path = HomePath("v" + std::to_string(version) + ".img");
        std::string error;
        ASSERT_TRUE(writer.Write(path, version, &error)) << error;
        ImageDecMan dec(d32, d64);
        std::string out = HomePath("out.bin");
        EXPECT_EQ(dec.GetImageItem("12345678", "payload", path.c_str(), out.c_str()), 0);
        EXPECT_EQ(ReadFile(out), payload);
        const void* expected = version == 1 ? static_cast<const void*>(d32) : d64;
        EXPECT_EQ(dec.CurrentDecoder(), expected);
        // The missing-item code tells which decoder looked.
        EXPECT_EQ(dec.GetImageItem("12345678", "NOPE", path.c_str(), out.c_str()),
                  version == 1 ? 79 : 218);
    }
    // A file neither decoder opens: the 32-bit form's not-found code, and no call
    // with a null image handle.
    std::string junk = HomePath("junk.img");
    WriteFile(junk, RandomBytes(4096, 9));
    ImageDecMan dec(d32, d64);
    EXPECT_EQ(dec.GetImageItem("12345678", "PAYLOAD", junk.c_str(), HomePath("o").c_str()), 79);
}

} // namespace
} // namespace vorlane::test
