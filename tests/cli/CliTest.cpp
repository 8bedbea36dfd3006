// End-to-end runs of `vorlane` as a user would start it: sample images, two
// virtual cards at once, every card checked with independent tools.
#include "TestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace vorlane::test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kCardBytes = 1024 * kMiB; // room for the product card's FAT32 data partition
// Layout of the sample image (sectors on the card).
constexpr uint64_t kTableSector = 40960;
constexpr uint64_t kBootSector = kTableSector + 32768;
constexpr uint64_t kSystemSector = kTableSector + 98304;
constexpr uint64_t kSystemBytes = 256 * kMiB;
constexpr uint64_t kBootPackageSector = 32800;

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return GetLE32(&b[at]);
}

// The additive header sum as the target's loader checks it.
bool headerSumValid(const std::vector<uint8_t>& b, size_t base, size_t lengthAt, size_t sumAt) {
    uint32_t length = le32(b, base + lengthAt);
    if (length == 0 || base + length > b.size()) return false;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length / 4; ++i)
        sum += (base + 4 * i == base + sumAt) ? 0x5F0A6C39u : le32(b, base + 4 * i);
    return sum == le32(b, base + sumAt);
}

struct Partition {
    uint64_t start, size;
    std::string type;
};

// The value after `"key":` from position `at` on (digits or a quoted word).
std::string JsonValue(const std::string& json, const std::string& key, size_t& at) {
    size_t k = json.find("\"" + key + "\":", at);
    if (k == std::string::npos) return "";
    size_t v = json.find_first_not_of(" \t\n", k + key.size() + 3);
    if (v == std::string::npos) return "";
    size_t end = json[v] == '"' ? json.find('"', v + 1) : json.find_first_of(",}\n", v);
    at = end == std::string::npos ? json.size() : end;
    return json[v] == '"' ? json.substr(v + 1, end - v - 1) : json.substr(v, end - v);
}

// The partitions of `sfdisk --json` output.
std::vector<Partition> Partitions(const std::string& json) {
    std::vector<Partition> parts;
    size_t at = json.find("\"partitions\"");
    while (at != std::string::npos && at < json.size()) {
        std::string start = JsonValue(json, "start", at);
        if (start.empty()) break;
        std::string size = JsonValue(json, "size", at);
        std::string type = JsonValue(json, "type", at);
        parts.push_back({std::stoull(start), std::stoull(size), type});
    }
    return parts;
}

class CliTest : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        m_bin = ModulePath("");
    }

    int Vorlane(const std::string& args, std::string* out = nullptr, const std::string& env = "") {
        std::string output;
        int rc = RunCommand("XDG_RUNTIME_DIR='" + m_root + "' " + env + " '" + m_bin +
                                "/vorlane' --cards-dir '" + m_cards + "' " + args + " </dev/null",
                            &output);
        if (out) *out = output;
        return rc;
    }

    std::string Sample(const std::string& flags) {
        std::string path = m_root + "/sample" + std::to_string(m_samples++) + ".img";
        std::string out;
        EXPECT_EQ(0,
                  RunCommand("'" + m_bin + "/vorlane-img' sample -o '" + path + "' " + flags, &out))
            << out;
        return path;
    }

    std::string Extract(const std::string& image, const std::string& main, const std::string& sub) {
        std::string path = m_root + "/" + sub + ".item";
        std::string out;
        EXPECT_EQ(0, RunCommand("'" + m_bin + "/vorlane-img' extract '" + image + "' " + main +
                                    " " + sub + " '" + path + "'",
                                &out))
            << out;
        return path;
    }

    std::vector<uint8_t> Sectors(const std::string& card, uint64_t sector, size_t bytes) {
        std::vector<uint8_t> data(bytes);
        FILE* f = std::fopen(card.c_str(), "rb");
        EXPECT_NE(nullptr, f);
        if (!f) return data;
        fseeko(f, static_cast<off_t>(sector * 512), SEEK_SET);
        size_t n = std::fread(data.data(), 1, bytes, f);
        std::fclose(f);
        data.resize(n);
        return data;
    }

    // Copies a card region into its own (sparse) file for a checker.
    std::string Region(const std::string& card, uint64_t sector, uint64_t sectors) {
        std::string path = m_root + "/region-" + std::to_string(sector) + ".bin";
        EXPECT_EQ(0, RunCommand("dd if='" + card + "' of='" + path +
                                "' bs=512 skip=" + std::to_string(sector) +
                                " count=" + std::to_string(sectors) + " conv=sparse status=none"));
        return path;
    }

    bool SameBytes(const std::string& card, uint64_t sector, const std::string& file,
                   uint64_t bytes) {
        return RunCommand("cmp -n " + std::to_string(bytes) + " -i " +
                          std::to_string(sector * 512) + ":0 '" + card + "' '" + file + "'") == 0;
    }

    void ExpectMagic(const std::string& card) {
        std::vector<uint8_t> magic = Sectors(card, 14, 512);
        EXPECT_EQ("VORLANE_CARD_IMG", std::string(magic.begin(), magic.begin() + 16)) << card;
    }

    // The u-boot inside the boot package on the card: its work mode, and
    // both header sums hold.
    uint32_t CardWorkMode(const std::string& card) {
        std::vector<uint8_t> pkg = Sectors(card, kBootPackageSector, 256 * 1024);
        EXPECT_TRUE(headerSumValid(pkg, 0, 36, 20)) << "boot package sum on " << card;
        for (uint32_t i = 0; i < le32(pkg, 32) && i < 8; ++i) {
            size_t entry = 64 + 368 * i;
            if (std::string(reinterpret_cast<const char*>(&pkg[entry])) != "u-boot") continue;
            uint32_t at = le32(pkg, entry + 64);
            EXPECT_EQ(0, std::memcmp(&pkg[at + 4], "uboot\0", 6));
            EXPECT_TRUE(headerSumValid(pkg, at, 20, 12)) << "u-boot sum on " << card;
            return le32(pkg, at + 224);
        }
        ADD_FAILURE() << "no u-boot on " << card;
        return 0;
    }

    std::string SfdiskJson(const std::string& card) {
        std::string out;
        EXPECT_EQ(0, RunCommand("sfdisk --json '" + card + "'", &out)) << out;
        return out;
    }

    bool NeedTools(std::initializer_list<const char*> tools) {
        for (const char* t : tools)
            if (!HaveTool(t)) return false;
        return true;
    }

    std::string m_bin;
    int m_samples = 0;
};

TEST_F(CliTest, SampleImageItemsAreValid) {
    if (!NeedTools({"simg2img", "fsck.fat"})) GTEST_SKIP() << "simg2img or fsck.fat missing";
    std::string image = Sample("--gpt --secure");
    std::string listed;
    ASSERT_EQ(0, RunCommand("'" + m_bin + "/vorlane-img' list '" + image + "'", &listed));
    for (const char* sub :
         {"CARDTOOL00000000", "1234567890SCRIPT", "1234567890___MBR", "1234567890DLINFO",
          "1234567890___GPT", "1234567890BOOT_0", "TOC0_00000000000", "BOOTPKG-00000000"})
        EXPECT_NE(std::string::npos, listed.find(std::string("12345678  ") + sub)) << listed;
    // The partition table: four 16 KiB copies, each with its CRC over bytes 4 ... 16383.
    std::vector<uint8_t> mbr = ReadFile(Extract(image, "12345678", "1234567890___MBR"));
    ASSERT_EQ(4u * 16384, mbr.size());
    for (size_t copy = 0; copy < 4; ++copy) {
        const uint8_t* c = &mbr[copy * 16384];
        EXPECT_EQ(Crc32(c + 4, 16384 - 4), GetLE32(c)) << "copy " << copy;
        EXPECT_EQ(0, std::memcmp(c + 8, "qelvo411", 8));
        EXPECT_EQ(3u, GetLE32(c + 24));
    }
    const char* names[] = {"boot", "system", "UDISK"};
    const uint32_t lengths[] = {65536, 524288, 0};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_STREQ(names[i], reinterpret_cast<const char*>(&mbr[32 + 128 * i + 32]));
        EXPECT_EQ(lengths[i], GetLE32(&mbr[32 + 128 * i + 12]));
    }
    // The download list names the partition items, which the image holds.
    std::vector<uint8_t> dl = ReadFile(Extract(image, "12345678", "1234567890DLINFO"));
    ASSERT_GE(dl.size(), 32u + 3 * 72);
    EXPECT_STREQ("boot", reinterpret_cast<const char*>(&dl[32]));
    EXPECT_EQ("BOOT_FEX00000000", std::string(reinterpret_cast<const char*>(&dl[32 + 32]), 16));
    EXPECT_STREQ("system", reinterpret_cast<const char*>(&dl[32 + 72]));
    EXPECT_EQ(0, dl[32 + 2 * 72]) << "the list ends after two entries";
    // Boot loaders with valid header sums.
    std::vector<uint8_t> boot0 = ReadFile(Extract(image, "12345678", "1234567890BOOT_0"));
    EXPECT_TRUE(headerSumValid(boot0, 0, 16, 12));
    std::vector<uint8_t> toc0 = ReadFile(Extract(image, "12345678", "TOC0_00000000000"));
    EXPECT_TRUE(headerSumValid(toc0, 0, 28, 12));
    std::vector<uint8_t> pkg = ReadFile(Extract(image, "12345678", "BOOTPKG-00000000"));
    EXPECT_TRUE(headerSumValid(pkg, 0, 36, 20));
    ASSERT_EQ(3u, le32(pkg, 32));
    EXPECT_STREQ("scp", reinterpret_cast<const char*>(&pkg[64]));
    EXPECT_STREQ("u-boot", reinterpret_cast<const char*>(&pkg[64 + 368]));
    EXPECT_STREQ("dtb", reinterpret_cast<const char*>(&pkg[64 + 2 * 368]));
    uint32_t uboot = le32(pkg, 64 + 368 + 64);
    EXPECT_EQ(0, std::memcmp(&pkg[uboot + 4], "uboot\0", 6));
    EXPECT_TRUE(headerSumValid(pkg, uboot, 20, 12));
    // The system partition expands to its full 256 MiB; the boot partition is FAT.
    std::string raw = m_root + "/system.raw", out;
    ASSERT_EQ(0, RunCommand("simg2img '" + Extract(image, "RFSFAT16", "SYSTEM_FEX000000") + "' '" +
                                raw + "'",
                            &out))
        << out;
    struct stat st;
    ASSERT_EQ(0, stat(raw.c_str(), &st));
    EXPECT_EQ(static_cast<off_t>(kSystemBytes), st.st_size);
    EXPECT_EQ(
        0, RunCommand("fsck.fat -n '" + Extract(image, "RFSFAT16", "BOOT_FEX00000000") + "'", &out))
        << out;
    struct stat img;
    ASSERT_EQ(0, stat(image.c_str(), &img));
    EXPECT_LT(img.st_size, 100 * static_cast<off_t>(kMiB));
}

TEST_F(CliTest, ProductBurnOfTwoCardsPassesTheIndependentCheckers) {
    if (!NeedTools({"sfdisk", "fsck.fat"})) GTEST_SKIP() << "sfdisk or fsck.fat missing";
    std::string image = Sample("");
    std::string e = MakeVirtualCard('E', kCardBytes), f = MakeVirtualCard('F', kCardBytes);
    std::string out;
    ASSERT_EQ(0, Vorlane("burn --image '" + image + "' --kind product", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("E:")) << out;
    std::string boot = Extract(image, "RFSFAT16", "BOOT_FEX00000000");
    for (const std::string& card : {e, f}) {
        std::vector<Partition> parts = Partitions(SfdiskJson(card));
        ASSERT_EQ(1u, parts.size());
        EXPECT_EQ("c", parts[0].type);
        uint64_t start = parts[0].start, size = parts[0].size;
        EXPECT_LE(start + size, kCardBytes / 512);
        // The per-card data volume and the boot partition are real FAT volumes.
        std::string checked;
        if (card == e) { // one full check of the data volume is enough (it is large)
            EXPECT_EQ(0, RunCommand("fsck.fat -n '" + Region(card, start, size) + "'", &checked))
                << checked;
        }
        EXPECT_TRUE(SameBytes(card, kBootSector, boot, 4 * kMiB)) << card;
        EXPECT_EQ(0, RunCommand("fsck.fat -n '" + Region(card, kBootSector, 8192) + "'", &checked))
            << checked;
        EXPECT_EQ(0x11u, CardWorkMode(card));
        ExpectMagic(card);
    }
}

TEST_F(CliTest, StartupBurnWritesTheSparseSystemPartitionAndTheTables) {
    if (!NeedTools({"sfdisk", "sgdisk", "simg2img", "fsck.fat"}))
        GTEST_SKIP() << "partition or sparse tools missing";
    struct Case {
        const char* flags;
        bool gpt;
    };
    for (const Case& c : {Case{"", false}, Case{"--gpt", true}}) {
        SCOPED_TRACE(c.flags);
        std::string image = Sample(c.flags);
        std::string e = MakeVirtualCard('E', kCardBytes), f = MakeVirtualCard('F', kCardBytes);
        std::string out;
        ASSERT_EQ(0, Vorlane("--json burn --image '" + image + "' --kind startup E F", &out))
            << out;
        EXPECT_NE(std::string::npos, out.find("{\"event\":\"summary\",\"ok\":true")) << out;
        std::string raw = m_root + "/system.raw";
        ASSERT_EQ(0, RunCommand("simg2img '" + Extract(image, "RFSFAT16", "SYSTEM_FEX000000") +
                                "' '" + raw + "'"));
        for (const std::string& card : {e, f}) {
            EXPECT_TRUE(SameBytes(card, kSystemSector, raw, kSystemBytes)) << card;
            std::string checked;
            EXPECT_EQ(0,
                      RunCommand("fsck.fat -n '" + Region(card, kBootSector, 8192) + "'", &checked))
                << checked;
            if (c.gpt) {
                EXPECT_EQ(0, RunCommand("sgdisk -v '" + card + "' | grep -q 'No problems found'",
                                        &checked))
                    << checked;
            } else {
                bool system = false;
                for (const Partition& p : Partitions(SfdiskJson(card)))
                    system = system || (p.start == kSystemSector && p.size == kSystemBytes / 512 &&
                                        p.type == "83");
                EXPECT_TRUE(system);
            }
            EXPECT_EQ(0u, CardWorkMode(card)); // the image's own value for a startup card
            ExpectMagic(card);
        }
    }
}

TEST_F(CliTest, SecureProductCardCarriesThePlainBoot0Copy) {
    std::string image = Sample("--secure");
    std::string e = MakeVirtualCard('E', kCardBytes), f = MakeVirtualCard('F', kCardBytes);
    std::string out;
    ASSERT_EQ(0, Vorlane("burn --image '" + image + "'", &out)) << out;
    for (const std::string& card : {e, f}) {
        std::vector<uint8_t> toc0 = Sectors(card, 16, 64 * 1024);
        EXPECT_EQ(0x11u, le32(toc0, 1140)) << card;
        EXPECT_TRUE(headerSumValid(toc0, 0, 28, 12)) << card;
        std::vector<uint8_t> boot0 = Sectors(card, 256, 48 * 1024);
        EXPECT_EQ(0x80000000u, le32(boot0, 204) & 0x80000000u) << card;
        EXPECT_TRUE(headerSumValid(boot0, 0, 16, 12)) << card;
        ExpectMagic(card);
    }
}

TEST_F(CliTest, RestoreLeavesOneExfatPartition) {
    if (!NeedTools({"sfdisk", "fsck.exfat"})) GTEST_SKIP() << "sfdisk or fsck.exfat missing";
    std::string image = Sample("");
    std::string e = MakeVirtualCard('E', kCardBytes), f = MakeVirtualCard('F', 256 * kMiB);
    std::string out;
    ASSERT_EQ(0, Vorlane("burn --image '" + image + "' E", &out)) << out;
    ASSERT_EQ(0, Vorlane("restore E F", &out)) << out;
    for (const auto& [card, bytes] :
         {std::make_pair(e, kCardBytes), std::make_pair(f, 256 * kMiB)}) {
        std::vector<Partition> parts = Partitions(SfdiskJson(card));
        ASSERT_EQ(1u, parts.size());
        EXPECT_EQ(2048u, parts[0].start);
        EXPECT_EQ(bytes / 512 - 2048, parts[0].size);
        EXPECT_EQ("7", parts[0].type);
        std::vector<uint8_t> boot = Sectors(card, 2048, 512);
        EXPECT_EQ("EXFAT   ", std::string(boot.begin() + 3, boot.begin() + 11)) << card;
        std::string checked;
        if (card == f) { // the small card gets the full check
            EXPECT_EQ(0,
                      RunCommand("fsck.exfat -n '" + Region(card, 2048, bytes / 512 - 2048) + "'",
                                 &checked))
                << checked;
        }
        EXPECT_EQ(std::vector<uint8_t>(512, 0), Sectors(card, 14, 512))
            << "magic block left on " << card;
    }
}

TEST_F(CliTest, LoopTestRunsThreeCyclesAlternatingTheKind) {
    std::string image = Sample("");
    MakeVirtualCard('E', kCardBytes);
    std::string e = MakeVirtualCard('F', kCardBytes);
    std::string out;
    ASSERT_EQ(0, Vorlane("burn --image '" + image + "' --loop 3 --loop-pause 0", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("Loop Test (1/3) success(1)")) << out;
    EXPECT_NE(std::string::npos, out.find("Loop Test (2/3) success(2)")) << out;
    EXPECT_NE(std::string::npos, out.find("Loop Test (3/3) success(3)")) << out;
    EXPECT_EQ(std::string::npos, out.find("Loop Test (4/3)")) << out;
    EXPECT_FALSE(FileExists(HomePath("loop.txt")));
    // product, startup, product: the last cycle leaves a product card.
    EXPECT_EQ(0x11u, CardWorkMode(e));
    // A loop file of the user's with garbage in it: one cycle, and the file stays.
    WriteFile(HomePath("loop.txt"), std::string("many\n"));
    ASSERT_EQ(0, Vorlane("burn --image '" + image + "' --loop-pause 0", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("Loop Test (1/0) success(1)")) << out;
    EXPECT_EQ(std::string::npos, out.find("Loop Test (2/0)")) << out;
    EXPECT_TRUE(FileExists(HomePath("loop.txt")));
}

TEST_F(CliTest, FailingCardBesideAGoodOne) {
    std::string image = Sample("");
    std::string e = MakeVirtualCard('E', kCardBytes);
    MakeVirtualCard('F', 64 * kMiB); // too small for the image
    std::string out;
    EXPECT_EQ(1, Vorlane("--json burn --image '" + image + "'", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("{\"event\":\"done\",\"card\":\"E\"}")) << out;
    size_t failed = out.find("{\"event\":\"failed\",\"card\":\"F\"");
    ASSERT_NE(std::string::npos, failed) << out;
    EXPECT_FALSE(JsonValue(out, "reason", failed).empty()) << out;
    EXPECT_NE(std::string::npos, out.find("\"card\":\"F\",\"device\"")) << out;
    ExpectMagic(e);
}

TEST_F(CliTest, BadInputIsRefusedAndNothingIsWritten) {
    std::string image = Sample("");
    std::string corrupt = m_root + "/corrupt.img";
    std::vector<uint8_t> bytes = ReadFile(image);
    bytes.resize(bytes.size() / 2); // cut: the stored size no longer matches
    WriteFile(corrupt, bytes);
    std::string e = MakeVirtualCard('E', kCardBytes);
    struct Case {
        std::string args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"burn --image '" + m_root + "/missing.img'", 2, "missing.img"},
        {"burn --image '" + corrupt + "'", 1, "rejected"},
        {"burn --image '" + image + "' Q", 2, "Q"},
        {"burn --image '" + image + "' '" + m_root + "/none.card'", 2, "none.card"},
        {"burn --image '" + image + "' --kind key", 2, "--kind"},
        {"burn", 2, "--image"},
        {"restore --loop many", 2, "--loop"},
        {"frobnicate", 2, "frobnicate"},
        {"list E", 2, "E"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(c.status, Vorlane(c.args, &out)) << c.args << "\n" << out;
        EXPECT_NE(std::string::npos, out.find(c.says)) << c.args << "\n" << out;
    }
    struct stat st;
    ASSERT_EQ(0, stat(e.c_str(), &st));
    EXPECT_EQ(0, st.st_blocks) << "a refused command wrote to the card";
}

TEST_F(CliTest, ListShowsTheCards) {
    MakeVirtualCard('E', kCardBytes);
    MakeVirtualCard('G', 0x1000000ull * 512); // last block 0xFFFFFF
    MakeVirtualCard('H', 0);                  // no medium: not listed
    std::string out;
    ASSERT_EQ(0, Vorlane("list", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("1023M")) << out;
    EXPECT_NE(std::string::npos, out.find("8191M")) << out;
    EXPECT_EQ(std::string::npos, out.find("H:")) << out;
}

TEST_F(CliTest, SettingsWritesTheOptionFileAsTheDialogDoes) {
    const std::string option = HomePath("option.cfg");
    auto value = [&](const char* key) {
        char buffer[260];
        GetPrivateProfileStringA("OPTION", key, "<missing>", buffer, sizeof buffer, option.c_str());
        return std::string(buffer);
    };
    std::string out;
    ASSERT_EQ(0, Vorlane("settings --first-part-size '1 0 2 4'", &out)) << out;
    EXPECT_EQ("1024", value("FirstPartSize"));
    EXPECT_EQ("1", value("activeFirstPartSize"));
    EXPECT_EQ("0", value("activeToolsrc"));
    EXPECT_EQ(2, Vorlane("settings --first-part-size -5", &out)) << out;
    EXPECT_EQ(2, Vorlane("settings --first-part-size 12a", &out)) << out;
    EXPECT_EQ("1024", value("FirstPartSize"));
    // Switching the option off keeps the size and drops the rewritten table.
    WriteFile(HomePath("mbr_new.fex"), std::string("table"));
    ASSERT_EQ(0, Vorlane("settings --no-first-part-size", &out)) << out;
    EXPECT_EQ("0", value("activeFirstPartSize"));
    EXPECT_EQ("1024", value("FirstPartSize"));
    EXPECT_FALSE(FileExists(HomePath("mbr_new.fex")));
    // A plug-in file must exist in the module directory under its spaceless name.
    EXPECT_EQ(2, Vorlane("settings --tool-source 'No Such.so'", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("NoSuch.so")) << out;
    ASSERT_EQ(0, Vorlane("settings --tool-source 'Sar net.so'", &out)) << out;
    EXPECT_EQ("Sarnet.so", value("Toolsrc"));
    EXPECT_EQ("1", value("activeToolsrc"));
}

TEST_F(CliTest, FirstPartitionSizeTooLargeForACardStopsTheBurn) {
    std::string image = Sample("");
    std::string e = MakeVirtualCard('E', kCardBytes);
    std::string out;
    ASSERT_EQ(0, Vorlane("settings --first-part-size 100", &out)) << out;
    EXPECT_EQ(1, Vorlane("burn --image '" + image + "' --kind startup", &out)) << out;
    EXPECT_NE(std::string::npos, out.find("E")) << out;
    struct stat st;
    ASSERT_EQ(0, stat(e.c_str(), &st));
    EXPECT_EQ(0, st.st_blocks) << out;
}

// The same burn onto a loop device gives the bytes of a virtual card.
TEST_F(CliTest, LoopDeviceGetsTheBytesOfAVirtualCard) {
    if (geteuid() != 0 || !HaveTool("losetup")) GTEST_SKIP() << "needs root and losetup";
    std::string backing = m_root + "/loop.backing";
    ASSERT_EQ(0, RunCommand("truncate -s " + std::to_string(kCardBytes) + " '" + backing + "'"));
    std::string device;
    if (RunCommand("losetup -f --show '" + backing + "'", &device) != 0) GTEST_SKIP() << device;
    device.erase(device.find_last_not_of("\n") + 1);
    std::string image = Sample("");
    std::string e = MakeVirtualCard('E', kCardBytes);
    std::string out;
    // A real disk is written only when confirmed: without --yes and without
    // a terminal nothing is written to either card.
    int refused = Vorlane("burn --image '" + image + "' E " + device, &out, "VORLANE_ALLOW_LOOP=1");
    struct stat st;
    bool untouched = stat(backing.c_str(), &st) == 0 && st.st_blocks == 0 &&
                     stat(e.c_str(), &st) == 0 && st.st_blocks == 0;
    int rc =
        Vorlane("--yes burn --image '" + image + "' E " + device, &out, "VORLANE_ALLOW_LOOP=1");
    RunCommand("losetup -d " + device);
    EXPECT_EQ(2, refused);
    EXPECT_TRUE(untouched);
    ASSERT_EQ(0, rc) << out;
    // Only the volume serial numbers (random) may differ: the exFAT boot
    // regions left by the preparation and the FAT32 boot sector and its backup.
    std::vector<Partition> parts = Partitions(SfdiskJson(e));
    ASSERT_EQ(1u, parts.size());
    uint64_t data = parts[0].start;
    std::string diff;
    RunCommand("cmp -l '" + e + "' '" + backing + "' | awk '{print int(($1-1)/512)}' | sort -un",
               &diff);
    std::istringstream sectors(diff);
    for (uint64_t s; sectors >> s;) {
        bool serial = (s >= 2048 && s < 2048 + 24) || s == data || s == data + 6;
        EXPECT_TRUE(serial) << "sector " << s << " differs";
    }
}

// A read-only disk fails with its reason; the card beside it is written.
TEST_F(CliTest, ReadOnlyDiskFailsWithItsReason) {
    if (geteuid() != 0 || !HaveTool("losetup")) GTEST_SKIP() << "needs root and losetup";
    std::string backing = m_root + "/ro.backing";
    ASSERT_EQ(0, RunCommand("truncate -s " + std::to_string(kCardBytes) + " '" + backing + "'"));
    std::string device;
    if (RunCommand("losetup -r -f --show '" + backing + "'", &device) != 0) GTEST_SKIP() << device;
    device.erase(device.find_last_not_of("\n") + 1);
    std::string image = Sample("");
    std::string e = MakeVirtualCard('E', kCardBytes);
    std::string out;
    int rc =
        Vorlane("--yes burn --image '" + image + "' E " + device, &out, "VORLANE_ALLOW_LOOP=1");
    RunCommand("losetup -d " + device);
    EXPECT_EQ(1, rc) << out;
    ExpectMagic(e);
    size_t row = out.find(device + " ");
    ASSERT_NE(std::string::npos, out.find("FAILED", row)) << out;
    EXPECT_NE(std::string::npos, out.find("read-only", row)) << out;
    struct stat st;
    ASSERT_EQ(0, stat(backing.c_str(), &st));
    EXPECT_EQ(0, st.st_blocks);
}

} // namespace
} // namespace vorlane::test
