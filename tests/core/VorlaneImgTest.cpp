// The vorlane-img tool as users run it: pack from a manifest, list, verify,
// extract, and its refusals. The packed layout is checked by reading the
// bytes directly here, not through the project's reader.
#include "TestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace {

using namespace vorlane::test;

struct Packed {
    std::string mainType, subType;
    uint64_t offset, size;
    uint32_t crc;
};

uint64_t LE64(const uint8_t* p) {
    return uint64_t(GetLE32(p)) | (uint64_t(GetLE32(p + 4)) << 32);
}

// The item table of an image, straight from its bytes.
std::vector<Packed> ParseByHand(const std::vector<uint8_t>& b, uint32_t* version, uint64_t* table) {
    std::vector<Packed> out;
    if (b.size() < 64 || std::memcmp(b.data(), "VLNIMAGE", 8) != 0) return out;
    *version = GetLE32(&b[8]);
    const uint32_t count = GetLE32(&b[16]), rs = GetLE32(&b[20]);
    *table = LE64(&b[24]);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* r = &b[*table + size_t(i) * rs];
        Packed p;
        p.mainType.assign(reinterpret_cast<const char*>(r),
                          strnlen(reinterpret_cast<const char*>(r), 8));
        p.subType.assign(reinterpret_cast<const char*>(r + 8),
                         strnlen(reinterpret_cast<const char*>(r + 8), 16));
        if (*version == 1) {
            p.offset = GetLE32(r + 24);
            p.size = GetLE32(r + 28);
            p.crc = GetLE32(r + 32);
        } else {
            p.offset = LE64(r + 24);
            p.size = LE64(r + 32);
            p.crc = GetLE32(r + 40);
        }
        out.push_back(p);
    }
    return out;
}

class CoreVorlaneImg : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        m_tool = ModulePath("vorlane-img");
        ASSERT_TRUE(FileExists(m_tool));
        mkdir(HomePath("in").c_str(), 0755);
        m_manifest = "; items of odd sizes\n";
        for (size_t size : {0, 1, 511, 512, 70000}) {
            const std::string name = "f" + std::to_string(size) + ".bin";
            WriteFile(HomePath("in/" + name), RandomBytes(size, uint32_t(size) + 3));
            m_manifest += "[item" + std::to_string(size) + "]\nmain = RFSFAT16\nsub = " + name +
                          "\nfile = in/" + name + "\n\n";
        }
        m_manifest +=
            "[abs]\r\nMain=12345678\r\nSUB=1234567890SCRIPT\r\nfile=" + HomePath("in/f511.bin") +
            "\r\n";
        WriteFile(HomePath("m.ini"), m_manifest);
    }
    int Run(const std::string& args, std::string* output = nullptr) {
        return RunCommand("cd / && " + m_tool + " " + args, output);
    }
    // Names of the files in the work directory that start with `prefix`.
    std::vector<std::string> Files(const std::string& prefix) {
        std::vector<std::string> out;
        DIR* dir = opendir(m_home.c_str());
        while (dirent* e = dir ? readdir(dir) : nullptr)
            if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
                out.push_back(e->d_name);
        if (dir) closedir(dir);
        return out;
    }
    std::string m_tool, m_manifest;
};

TEST_F(CoreVorlaneImg, PacksBothFormatsWithTheDocumentedLayout) {
    for (const char* format : {"", "--format 1", "--format 2"}) {
        const std::string out = HomePath("o.img");
        std::string text;
        ASSERT_EQ(Run("pack " + HomePath("m.ini") + " -o " + out + " " + format, &text), 0) << text;
        const auto bytes = ReadFile(out);
        uint32_t version = 0;
        uint64_t table = 0;
        const auto items = ParseByHand(bytes, &version, &table);
        EXPECT_EQ(version, std::strcmp(format, "--format 1") == 0 ? 1u : 2u) << format;
        ASSERT_EQ(items.size(), 6u);
        EXPECT_EQ(GetLE32(&bytes[44]), 4096u);
        EXPECT_EQ(LE64(&bytes[32]), bytes.size());
        EXPECT_EQ(GetLE32(&bytes[60]), Crc32(bytes.data(), 60));
        EXPECT_EQ(GetLE32(&bytes[40]), Crc32(&bytes[table], bytes.size() - table));
        uint64_t end = 64;
        for (size_t i = 0; i < items.size(); ++i) {
            const Packed& p = items[i];
            const std::string source = i < 5 ? p.subType : "f511.bin";
            const auto want = ReadFile(HomePath("in/" + source));
            EXPECT_EQ(p.offset % 4096, 0u) << p.subType;
            EXPECT_GE(p.offset, end) << "data in manifest order";
            ASSERT_EQ(p.size, want.size());
            EXPECT_TRUE(std::equal(want.begin(), want.end(), bytes.begin() + long(p.offset)));
            EXPECT_EQ(p.crc, Crc32(want.data(), want.size()));
            end = p.offset + p.size;
        }
        EXPECT_GE(table, end) << "table after the data";
        EXPECT_EQ(table % 4096, 0u);
        // The gaps are zeros.
        for (uint64_t at = 64; at < items[0].offset; ++at)
            ASSERT_EQ(bytes[at], 0) << at;
        EXPECT_TRUE(Files("o.img.tmp").empty());
    }
}

TEST_F(CoreVorlaneImg, ListVerifyAndExtract) {
    const std::string out = HomePath("o.img");
    ASSERT_EQ(Run("pack " + HomePath("m.ini") + " --format 1 -o " + out), 0);
    std::string text;
    ASSERT_EQ(Run("list " + out, &text), 0) << text;
    EXPECT_NE(text.find("1234567890SCRIPT"), std::string::npos) << text;
    EXPECT_NE(text.find("f70000.bin"), std::string::npos) << text;
    EXPECT_NE(text.find("70000"), std::string::npos) << text;
    EXPECT_EQ(Run("verify " + out, &text), 0) << text;
    for (size_t size : {0, 70000}) {
        const std::string name = "f" + std::to_string(size) + ".bin";
        const std::string target = HomePath("x-" + name);
        ASSERT_EQ(Run("extract " + out + " rfsfat16 " + name + " " + target, &text), 0) << text;
        EXPECT_EQ(ReadFile(target), ReadFile(HomePath("in/" + name)));
    }
    EXPECT_EQ(Run("extract " + out + " RFSFAT16 nothing " + HomePath("x"), &text), 1);
    EXPECT_NE(text.find("nothing"), std::string::npos) << text;
    EXPECT_FALSE(FileExists(HomePath("x")));
}

TEST_F(CoreVorlaneImg, VerifyFindsOneFlippedByteInAnyItem) {
    for (const char* format : {"1", "2"}) {
        const std::string out = HomePath("o.img");
        ASSERT_EQ(Run("pack " + HomePath("m.ini") + " --format " + format + " -o " + out), 0);
        const auto good = ReadFile(out);
        uint32_t version = 0;
        uint64_t table = 0;
        for (const Packed& p : ParseByHand(good, &version, &table)) {
            if (!p.size) continue;
            for (uint64_t at : {p.offset, p.offset + p.size / 2, p.offset + p.size - 1}) {
                auto bad = good;
                bad[at] ^= 0x01;
                const std::string path = HomePath("bad.img");
                WriteFile(path, bad);
                std::string text;
                EXPECT_EQ(Run("verify " + path, &text), 1) << p.subType << " @" << at;
                EXPECT_NE(text.find(p.mainType + "/" + p.subType), std::string::npos) << text;
                EXPECT_EQ(text.rfind("vorlane-img: ", 0), 0u) << text;
                // extract refuses the item and leaves no file behind.
                EXPECT_EQ(Run("extract " + path + " " + p.mainType + " " + p.subType + " " +
                              HomePath("e.bin")),
                          1);
                EXPECT_FALSE(FileExists(HomePath("e.bin")));
            }
        }
        // A flipped byte in the table or the header refuses the whole image.
        for (uint64_t at : {uint64_t(9), table + 3}) {
            auto bad = good;
            bad[at] ^= 0x01;
            WriteFile(HomePath("bad.img"), bad);
            EXPECT_EQ(Run("verify " + HomePath("bad.img")), 1) << at;
        }
    }
}

TEST_F(CoreVorlaneImg, RefusesBadManifestsWithoutLeavingAnImage) {
    // A 4 GiB input (sparse): too large for version 1, checked before writing.
    {
        int fd = open(HomePath("in/huge.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, off_t(4) << 30), 0);
        close(fd);
    }
    auto item = [](const std::string& m, const std::string& s, const std::string& f) {
        return "[x]\nmain = " + m + "\nsub = " + s + "\nfile = " + f + "\n";
    };
    struct {
        std::string manifest, format, why;
    } cases[] = {
        {item("A", "B", "in/f1.bin") + "[y]\nmain=a\nsub=b\nfile=in/f1.bin\n", "2", "duplicate"},
        {item("123456789", "B", "in/f1.bin"), "2", "main type"},
        {item("A", "12345678901234567", "in/f1.bin"), "1", "sub type"},
        {item("A", "B C", "in/f1.bin"), "2", "sub type"},
        {item("A\x7F", "B", "in/f1.bin"), "2", "main type"},
        {item("A", "\xC3\xA9", "in/f1.bin"), "2", "sub type"},
        {item("A", "B", "in/missing.bin"), "2", "missing.bin"},
        {item("A", "B", "in"), "2", "not a regular file"},
        {"[x]\nmain = A\nfile = in/f1.bin\n", "2", "missing key 'sub'"},
        {"[x]\nmain = A\nsub = B\nfile = in/f1.bin\ncolour = red\n", "2", "unknown key"},
        {"main = A\n", "2", "outside a section"},
        {"; nothing\n", "2", "no items"},
        {item("A", "B", "in/f1.bin") + item("C", "D", "in/huge.bin"), "1", "4 GiB"},
    };
    const std::string out = HomePath("o.img");
    WriteFile(out, "previous image");
    for (const auto& c : cases) {
        WriteFile(HomePath("bad.ini"), c.manifest);
        std::string text;
        EXPECT_EQ(
            Run("pack " + HomePath("bad.ini") + " --format " + c.format + " -o " + out, &text), 1)
            << c.manifest;
        EXPECT_EQ(text.rfind("vorlane-img: ", 0), 0u) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
        EXPECT_NE(text.find(c.why), std::string::npos) << text;
        const auto kept = ReadFile(out);
        EXPECT_EQ(std::string(kept.begin(), kept.end()), "previous image") << c.manifest;
        EXPECT_TRUE(Files("o.img.tmp").empty()) << c.manifest;
    }
}

TEST_F(CoreVorlaneImg, UsageErrorsExitWithTwo) {
    const std::string m = HomePath("m.ini");
    for (const std::string& args :
         {std::string(), std::string("frobnicate"), "pack " + m, "pack " + m + " -o",
          std::string("pack -o x.img"), "pack " + m + " -o x.img --format 3",
          "pack " + m + " m2.ini -o x.img", std::string("list"), std::string("extract a.img A B"),
          std::string("verify")}) {
        std::string text;
        EXPECT_EQ(Run(args, &text), 2) << args << ": " << text;
        EXPECT_NE(text.find("usage"), std::string::npos) << args;
    }
    EXPECT_FALSE(FileExists("/x.img"));
}

} // namespace
