// Both image decoders as the system reaches them: through Hubrix.so and the
// decoder tables, on images packed by the writer library.
#include "ImageWriter.h"
#include "Interfaces.h"
#include "ServiceTables.h"
#include "TestSupport.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using namespace vorlane::test;

const size_t kSizes[] = {0, 1, 511, 512, 70000};

// Reads through either table in 997-byte steps (one more call to see the end).
struct Reader {
    const Decoder64Table* d64 = nullptr;
    const Decoder32Table* d32 = nullptr;
    void* OpenImage(const std::string& p) const {
        return d64 ? d64->OpenImage(p.c_str()) : d32->OpenImage(p.c_str());
    }
    void* OpenItem(void* img, const char* m, const char* s) const {
        return d64 ? d64->OpenItem(img, m, s) : d32->OpenItem(img, m, s);
    }
    uint64_t Size(void* img, void* item) const {
        return d64 ? d64->GetItemSize(img, item) : uint64_t(d32->GetItemSize(img, item));
    }
    uint64_t Read(void* img, void* item, void* buf, uint32_t n) const {
        return d64 ? d64->ReadItem(img, item, buf, n, 0)
                   : uint64_t(d32->ReadItem(img, item, buf, n));
    }
    int CloseItem(void* img, void* item) const {
        return d64 ? d64->CloseItem(img, item) : d32->CloseItem(img, item);
    }
    int CloseImage(void* img) const { return d64 ? d64->CloseImage(img) : d32->CloseImage(img); }
    // All bytes of an item in `step`-byte reads; `ok` false when a read came short.
    std::vector<uint8_t> ReadAll(void* img, void* item, uint32_t step, bool* ok) const {
        std::vector<uint8_t> out;
        std::vector<uint8_t> buf(step);
        *ok = true;
        for (;;) {
            uint64_t n = Read(img, item, buf.data(), step);
            if (n > step) {
                *ok = false;
                break;
            }
            out.insert(out.end(), buf.begin(), buf.begin() + n);
            if (n < step) break;
        }
        return out;
    }
};

class CoreDecoder : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        ASSERT_NE(PluginCenter(), nullptr);
        PluginLoadRecord r64 = {}, r32 = {};
        std::strcpy(r64.id, VORLANE_IID_DECODER64);
        std::strcpy(r64.path, "Unspool64.so"); // bare name: the module directory
        std::strcpy(r32.id, VORLANE_IID_DECODER32);
        std::strcpy(r32.path, "Unspool32.so");
        ASSERT_NE(PluginCenter()->LoadPlugin(&r64), 0);
        ASSERT_NE(PluginCenter()->LoadPlugin(&r32), 0);
        m_r64.d64 = static_cast<const Decoder64Table*>(
            PluginCenter()->GetPluginInterface(VORLANE_IID_DECODER64));
        m_r32.d32 = static_cast<const Decoder32Table*>(
            PluginCenter()->GetPluginInterface(VORLANE_IID_DECODER32));
        ASSERT_NE(m_r64.d64, nullptr);
        ASSERT_NE(m_r32.d32, nullptr);
    }
    // An image with one item per size of kSizes, "ITEM"/"SIZE<n>".
    std::string Pack(uint32_t version, const std::string& name) {
        vorlane::image::Writer w;
        for (size_t size : kSizes)
            w.AddData("ITEM", "SIZE" + std::to_string(size), RandomBytes(size, uint32_t(size) + 7));
        const std::string path = HomePath(name);
        std::string error;
        EXPECT_TRUE(w.Write(path, version, &error)) << error;
        return path;
    }
    const Reader& For(uint32_t version) const { return version == 2 ? m_r64 : m_r32; }
    Reader m_r64, m_r32;
};

TEST_F(CoreDecoder, ReadsBothVersionsBackByteForByte) {
    for (uint32_t version : {1u, 2u}) {
        const std::string path = Pack(version, "v" + std::to_string(version) + ".img");
        const Reader& r = For(version);
        void* img = r.OpenImage(path);
        ASSERT_NE(img, nullptr) << version;
        // The other decoder refuses this version as a whole.
        EXPECT_EQ(For(3 - version).OpenImage(path), nullptr) << version;
        for (size_t size : kSizes) {
            const std::string sub = "size" + std::to_string(size); // other letter case
            for (uint32_t step : {997u, 32768u, 1u}) {
                if (step == 1 && size > 512) continue;
                void* item = r.OpenItem(img, "item", sub.c_str());
                ASSERT_NE(item, nullptr) << sub;
                EXPECT_EQ(r.Size(img, item), size);
                bool ok = false;
                EXPECT_EQ(r.ReadAll(img, item, step, &ok), RandomBytes(size, uint32_t(size) + 7))
                    << "v" << version << " " << sub << " step " << step;
                EXPECT_TRUE(ok);
                EXPECT_EQ(r.Read(img, item, &ok, 1), 0u) << "read past the end";
                EXPECT_EQ(r.CloseItem(img, item), 0);
            }
        }
        EXPECT_EQ(r.OpenItem(img, "ITEM", "SIZE2"), nullptr);
        EXPECT_EQ(r.OpenItem(img, "ITEM0000X", "SIZE1"), nullptr);
        EXPECT_EQ(r.CloseImage(img), 0);
    }
}

TEST_F(CoreDecoder, StreamsFileItemsLargerThanOneCopyBlock) {
    // Files are packed in 1 MiB blocks: cross a block boundary with an odd tail.
    const auto data = RandomBytes((1 << 20) + 997, 5);
    WriteFile(HomePath("big.bin"), data);
    for (uint32_t version : {1u, 2u}) {
        vorlane::image::Writer w;
        w.AddFile("RFSFAT16", "big.bin", HomePath("big.bin"));
        w.AddData("RFSFAT16", "tiny", std::string("x"));
        std::string error;
        ASSERT_TRUE(w.Write(HomePath("f.img"), version, &error)) << error;
        const Reader& r = For(version);
        void* img = r.OpenImage(HomePath("f.img"));
        ASSERT_NE(img, nullptr);
        void* item = r.OpenItem(img, "RFSFAT16", "BIG.BIN");
        bool ok = false;
        EXPECT_EQ(r.ReadAll(img, item, 65536, &ok), data) << version;
        EXPECT_TRUE(ok);
        r.CloseItem(img, item);
        r.CloseImage(img);
    }
}

TEST_F(CoreDecoder, HandlesReadIndependentlyAndRestartAtByteZero) {
    const std::string path = Pack(2, "a.img");
    const Reader& r = m_r64;
    const auto want = RandomBytes(70000, 70007);
    void* img = r.OpenImage(path);
    void* img2 = r.OpenImage(path);
    ASSERT_NE(img, nullptr);
    ASSERT_NE(img2, nullptr);
    // Probe the first 1024 bytes, close, and open again: the new handle starts at 0.
    void* probe = r.OpenItem(img, "ITEM", "SIZE70000");
    std::vector<uint8_t> head(1024);
    ASSERT_EQ(r.Read(img, probe, head.data(), 1024), 1024u);
    EXPECT_EQ(r.CloseItem(img, probe), 0);
    void* a = r.OpenItem(img, "ITEM", "SIZE70000");
    void* b = r.OpenItem(img, "ITEM", "SIZE70000");
    void* c = r.OpenItem(img2, "ITEM", "SIZE70000");
    std::vector<uint8_t> got[3];
    void* handles[3] = {a, b, c};
    void* images[3] = {img, img, img2};
    std::vector<uint8_t> buf(997);
    for (bool more = true; more;) {
        more = false;
        for (int i = 0; i < 3; ++i) {
            const uint32_t n = i == 1 ? 512 : 997; // different strides, interleaved
            uint64_t got_n = r.Read(images[i], handles[i], buf.data(), n);
            got[i].insert(got[i].end(), buf.begin(), buf.begin() + got_n);
            more = more || got_n == n;
        }
    }
    for (auto& g : got)
        EXPECT_EQ(g, want);
    // Handles are bound to their image handle.
    EXPECT_EQ(r.Size(img2, a), 0u);
    EXPECT_EQ(r.CloseItem(img2, a), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(r.CloseItem(images[i], handles[i]), 0);
    EXPECT_EQ(r.CloseImage(img), 0);
    EXPECT_EQ(r.CloseImage(img2), 0);
}

TEST_F(CoreDecoder, ReadsFromFourThreadsAtOnce) {
    for (uint32_t version : {1u, 2u}) {
        const std::string path = Pack(version, "t.img");
        const Reader& r = For(version);
        void* img = r.OpenImage(path);
        ASSERT_NE(img, nullptr);
        std::atomic<int> good{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (int round = 0; round < 20; ++round) {
                    const size_t size = kSizes[(t + round) % 5];
                    void* item = r.OpenItem(img, "ITEM", ("SIZE" + std::to_string(size)).c_str());
                    bool ok = false;
                    auto data = r.ReadAll(img, item, 997, &ok);
                    if (ok && data == RandomBytes(size, uint32_t(size) + 7)) ++good;
                    r.CloseItem(img, item);
                }
            });
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(good.load(), 80) << version;
        EXPECT_EQ(r.CloseImage(img), 0);
    }
}

TEST_F(CoreDecoder, LastReadFailsWhenTheDataCrcDiffers) {
    for (uint32_t version : {1u, 2u}) {
        const std::string path = Pack(version, "c.img");
        // Flip one byte inside the 70000-byte item (the header and table stay valid).
        std::vector<uint8_t> bytes = ReadFile(path);
        const Reader& r = For(version);
        // Item data of the last item: 70000 bytes starting at a 4096 multiple.
        size_t start = 0;
        for (size_t off = 4096; off + 70000 <= bytes.size(); off += 4096)
            if (std::equal(bytes.begin() + off, bytes.begin() + off + 64,
                           RandomBytes(70000, 70007).begin()))
                start = off;
        ASSERT_NE(start, 0u);
        bytes[start + 69999] ^= 0x40;
        WriteFile(path, bytes);

        void* img = r.OpenImage(path);
        ASSERT_NE(img, nullptr);
        void* item = r.OpenItem(img, "ITEM", "SIZE70000");
        std::vector<uint8_t> buf(69999);
        EXPECT_EQ(r.Read(img, item, buf.data(), 69999), 69999u) << "early reads are not checked";
        EXPECT_EQ(r.Read(img, item, buf.data(), 997), 0u) << "last read must fail";
        EXPECT_EQ(r.Read(img, item, buf.data(), 997), 0u);
        r.CloseItem(img, item);
        // A handle that stops early is not checked.
        item = r.OpenItem(img, "ITEM", "SIZE70000");
        EXPECT_EQ(r.Read(img, item, buf.data(), 1000), 1000u);
        r.CloseItem(img, item);
        r.CloseImage(img);
    }
}

TEST_F(CoreDecoder, BadAndStaleHandlesAreRefused) {
    const std::string path = Pack(2, "h.img");
    const Reader& r = m_r64;
    EXPECT_EQ(r.OpenImage(HomePath("missing.img")), nullptr);
    EXPECT_EQ(m_r64.d64->OpenImage(nullptr), nullptr);
    EXPECT_EQ(r.OpenImage(m_home), nullptr) << "a directory";
    void* img = r.OpenImage(path);
    ASSERT_NE(img, nullptr);
    int local = 0;
    EXPECT_EQ(r.OpenItem(&local, "ITEM", "SIZE1"), nullptr);
    EXPECT_EQ(r.Size(img, &local), 0u);
    EXPECT_EQ(r.Size(img, nullptr), 0u);
    uint8_t buf[16];
    EXPECT_EQ(r.Read(img, &local, buf, 16), 0u);
    EXPECT_EQ(r.CloseItem(img, &local), 2);
    EXPECT_EQ(r.CloseImage(&local), 1);

    void* item = r.OpenItem(img, "ITEM", "SIZE512");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(r.CloseItem(img, item), 0);
    EXPECT_EQ(r.Size(img, item), 0u) << "closed item";
    EXPECT_EQ(r.CloseItem(img, item), 2);

    // An open item keeps the image's file: still readable after CloseImage.
    item = r.OpenItem(img, "ITEM", "SIZE70000");
    EXPECT_EQ(r.CloseImage(img), 0);
    EXPECT_EQ(r.CloseImage(img), 1);
    EXPECT_EQ(r.OpenItem(img, "ITEM", "SIZE1"), nullptr);
    bool ok = false;
    EXPECT_EQ(r.ReadAll(img, item, 997, &ok), RandomBytes(70000, 70007));
    EXPECT_EQ(r.CloseItem(img, item), 0);
    // Handles of one decoder mean nothing to the other.
    img = r.OpenImage(path);
    item = r.OpenItem(img, "ITEM", "SIZE1");
    EXPECT_EQ(m_r32.d32->GetItemSize(img, item), 0);
    EXPECT_EQ(m_r32.d32->CloseImage(img), 1);
    r.CloseItem(img, item);
    r.CloseImage(img);
}

TEST_F(CoreDecoder, RefusesChangedFilesAndHugeItemsIn32Bit) {
    // The file grew after it was packed: the stored size no longer matches.
    const std::string path = Pack(1, "g.img");
    {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "x", 1), 1);
        close(fd);
    }
    EXPECT_EQ(m_r32.OpenImage(path), nullptr);

    // A version 1 image whose item is 2 GiB (sparse file, only the table is read).
    const uint64_t itemSize = uint64_t(1) << 31;
    const uint64_t tableOffset = 4096 + itemSize;
    std::vector<uint8_t> head(64, 0), table(64, 0);
    std::memcpy(table.data(), "BIG", 3);
    std::memcpy(table.data() + 8, "ITEM", 4);
    PutLE32(table, 24, 4096);
    PutLE32(table, 28, uint32_t(itemSize));
    std::memcpy(head.data(), "VLNIMAGE", 8);
    PutLE32(head, 8, 1);
    PutLE32(head, 12, 64);
    PutLE32(head, 16, 1);
    PutLE32(head, 20, 64);
    PutLE64(head, 24, tableOffset);
    PutLE64(head, 32, tableOffset + 64);
    PutLE32(head, 40, Crc32(table.data(), 64));
    PutLE32(head, 44, 4096);
    PutLE32(head, 60, Crc32(head.data(), 60));
    const std::string big = HomePath("big.img");
    int fd = open(big.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, head.data(), 64, 0), 64);
    ASSERT_EQ(pwrite(fd, table.data(), 64, off_t(tableOffset)), 64);
    close(fd);
    EXPECT_EQ(m_r32.OpenImage(big), nullptr) << "a 2 GiB item cannot be reported in 32 bits";
    // One byte less fits.
    PutLE32(table, 28, uint32_t(itemSize - 1));
    PutLE32(head, 40, Crc32(table.data(), 64));
    PutLE32(head, 60, Crc32(head.data(), 60));
    fd = open(big.c_str(), O_RDWR);
    ASSERT_EQ(pwrite(fd, head.data(), 64, 0), 64);
    ASSERT_EQ(pwrite(fd, table.data(), 64, off_t(tableOffset)), 64);
    close(fd);
    void* img = m_r32.OpenImage(big);
    ASSERT_NE(img, nullptr);
    void* item = m_r32.OpenItem(img, "big", "item");
    EXPECT_EQ(m_r32.d32->GetItemSize(img, item), INT32_MAX);
    m_r32.CloseItem(img, item);
    m_r32.CloseImage(img);
}

} // namespace

namespace {

// Every service module carries the plug-in exports, and its QueryInterface and
// GetInterface answer for its own id only.
TEST(CoreExports, ServiceModulesCarryThePluginExports) {
    struct {
        const char *file, *id;
    } modules[] = {{"Unspool64.so", VORLANE_IID_DECODER64},
                   {"Unspool32.so", VORLANE_IID_DECODER32},
                   {"crc32.so", VORLANE_IID_CHECKSUM}};
    const char* dir = std::getenv("VORLANE_MODULE_DIR");
    for (const auto& m : modules) {
        const std::string path =
            std::string(dir && *dir ? dir : VORLANE_TEST_MODULE_DIR) + "/" + m.file;
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        for (const char* name : {"GetPlugInType", "GetPlugInName", "GetPlugInVersion", "GetAuthor",
                                 "GetCopyRight", "QueryInterface", "GetInterface"})
            EXPECT_NE(dlsym(library, name), nullptr) << m.file << " " << name;
        auto query = reinterpret_cast<QueryInterfaceFn>(dlsym(library, "QueryInterface"));
        auto get = reinterpret_cast<GetInterfaceFn>(dlsym(library, "GetInterface"));
        if (query && get) {
            EXPECT_EQ(query(m.id), 0) << m.file;
            EXPECT_NE(query(VORLANE_IID_SARNET), 0) << m.file;
            EXPECT_NE(get(m.id), nullptr) << m.file;
            EXPECT_EQ(get(VORLANE_IID_SARNET), nullptr) << m.file;
        }
        dlclose(library);
    }
}

} // namespace
