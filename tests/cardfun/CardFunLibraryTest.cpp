// VorlaneCardFun.so loaded through the plug-in centre exactly as the main
// program loads it, driving the real card tool (Sarnet.so packed into the
// image as its card tool) on virtual cards; the cards are checked with
// sfdisk, fsck.fat and sgdisk.
#include "CardFunFixture.h"
#include "ImageWriter.h"
#include "LibraryTables.h"

#include <sys/stat.h>

#include <map>
#include <thread>

namespace vorlane::test {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

std::vector<FixturePartition> Layout() {
    return {{"boot", 0x8000, 0x800}, {"system", 0x8800, 0x1000}, {"UDISK", 0x9800, 0}};
}

struct Finals {
    std::mutex lock;
    std::map<char, std::vector<std::pair<int, std::string>>> byLetter;
};
Finals& TheFinals() {
    static Finals finals;
    return finals;
}
int OnMessage(char letter, const char* text, int code) {
    if (code == 10 || code == 60) {
        std::lock_guard<std::mutex> lock(TheFinals().lock);
        TheFinals().byLetter[letter].push_back({code, text ? text : ""});
    }
    return 0;
}

const VorlaneCardFunTable* g_table = nullptr;
LRESULT MainWindowProc(HWND window, unsigned message, WPARAM w, LPARAM l, void*) {
    if (message == WM_CARD_NOTIFY && g_table)
        return g_table->MessageCallBack(window, int(w), reinterpret_cast<ToolParam*>(l));
    return 0;
}

class CardFunLibraryTest : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        setenv("VORLANE_CODEPAGE", "1252", 1);
        const PluginManTable* center = PluginCenter();
        ASSERT_NE(center, nullptr);
        // The library's own configuration, as shipped.
        WriteFile(HomePath("config.cfg"), ReadFile(ModulePath("config.cfg")));
        PluginLoadRecord record = {};
        snprintf(record.id, sizeof record.id, "%s", "B6DAA905_5803_4442_AE61_896D1B2E5A81");
        snprintf(record.path, sizeof record.path, "%s", ModulePath("VorlaneCardFun.so").c_str());
        ASSERT_NE(center->LoadPlugin(&record), 0);
        g_table = static_cast<const VorlaneCardFunTable*>(
            center->GetPluginInterface("B6DAA905_5803_4442_AE61_896D1B2E5A81"));
        ASSERT_NE(g_table, nullptr);
        ASSERT_EQ(g_table->Initialize(), 0);
        EXPECT_EQ(g_table->GetVersion(), 100);
        m_window = VpCreateWindow(MainWindowProc, nullptr);
        EXPECT_EQ(g_table->SetMainWindow(m_window), 0);
        EXPECT_EQ(g_table->GetMainWindow(), m_window);
        EXPECT_EQ(g_table->SetMessageCallBack(OnMessage), 0);
        TheFinals().byLetter.clear();
    }
    void TearDown() override {
        if (g_table) g_table->Release();
        VpDestroyWindow(m_window);
        unsetenv("VORLANE_CODEPAGE");
        VorlaneTest::TearDown();
    }

    std::string PackImage(bool withGpt) {
        image::Writer w;
        w.AddData("12345678", "1234567890SCRIPT",
                  std::string("[process]\r\nversion = 300\r\nmode = null\r\n\r\n"
                              "[card_boot]\r\nstart = 40960\r\n"));
        w.AddFile("12345678", "CARDTOOL00000000", ModulePath("Sarnet.so"));
        w.AddData("12345678", "1234567890___MBR", BuildLargeTable(Layout()));
        if (withGpt) w.AddData("12345678", "1234567890___GPT", std::string("gpt"));
        w.AddData(
            "12345678", "1234567890DLINFO",
            BuildLargeDownload({{"boot", "BOOT_FEX00000000"}, {"system", "SYSTEM_FEX000000"}}));
        w.AddData("RFSFAT16", "BOOT_FEX00000000", RandomBytes(70000, 1));
        w.AddData("RFSFAT16", "SYSTEM_FEX000000", RandomBytes(100001, 2));
        std::string path = HomePath(withGpt ? "gpt.img" : "dos.img");
        std::string error;
        EXPECT_TRUE(w.Write(path, 2, &error)) << error;
        return path;
    }

    // Burns `letters` at once (one thread each) and expects exactly one final
    // callback of code 10 for each.
    void BurnAll(const std::string& letters, int mode) {
        TheFinals().byLetter.clear();
        std::vector<std::thread> threads;
        for (char letter : letters)
            threads.emplace_back([=] { g_table->BurnCard(letter, mode, 0); });
        for (auto& t : threads)
            t.join();
        for (char letter : letters) {
            auto& finals = TheFinals().byLetter[letter];
            ASSERT_EQ(finals.size(), 1u) << letter;
            EXPECT_EQ(finals[0].first, 10) << letter << ": " << finals[0].second;
        }
    }

    HWND m_window = nullptr;
};

TEST_F(CardFunLibraryTest, ProductCardsInParallel) {
    if (!HaveTool("sfdisk") || !HaveTool("fsck.fat")) GTEST_SKIP();
    std::string image = PackImage(false);
    ASSERT_EQ(g_table->SetImagePath(image.c_str()), 0);
    char recorded[512] = {};
    GetPrivateProfileStringA("Img File", "path", "", recorded, sizeof recorded,
                             HomePath("config.cfg").c_str());
    EXPECT_EQ(std::string(recorded), image);
    for (char letter : {'E', 'F'})
        MakeVirtualCard(letter, 1100 * kMiB);
    BurnAll("EF", 0);
    struct stat st;
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    auto parts = Layout();
    uint64_t s = parts[1].start + parts[1].length + 40960 + uint64_t(st.st_size) / 512;
    uint64_t n = 1100 * kMiB / 512 - s - 2048;
    for (char letter : {'E', 'F'}) {
        std::string card = m_cards + "/" + letter + ".card";
        auto dos = SfdiskPartitions(card);
        ASSERT_EQ(dos.size(), 1u) << letter;
        EXPECT_EQ(dos[0].type, "c");
        EXPECT_EQ(dos[0].start, s);
        EXPECT_EQ(dos[0].size, n);
        std::string volume = m_root + "/volume.img";
        ASSERT_TRUE(ExtractRange(card, s * 512, n * 512, volume));
        std::string out;
        EXPECT_EQ(RunCommand("fsck.fat -n '" + volume + "'", &out), 0) << out;
        unlink(volume.c_str());
    }
    // The drives' work files are gone.
    EXPECT_FALSE(FileExists(HomePath("script.cfgE")));
    EXPECT_FALSE(FileExists(HomePath("thisdata.fexF")));
}

TEST_F(CardFunLibraryTest, StartupCardsInParallelThenRestore) {
    if (!HaveTool("sfdisk")) GTEST_SKIP();
    std::string image = PackImage(false);
    ASSERT_EQ(g_table->SetImagePath(image.c_str()), 0);
    for (char letter : {'E', 'F'})
        MakeVirtualCard(letter, 256 * kMiB);
    BurnAll("EF", 1);
    auto parts = Layout();
    uint64_t c = 256 * kMiB / 512, l = parts[2].start + 40960;
    for (char letter : {'E', 'F'}) {
        std::string raw;
        auto dos = SfdiskPartitions(m_cards + "/" + letter + ".card", &raw);
        ASSERT_GE(dos.size(), 4u) << raw;
        EXPECT_EQ(dos[0].type, "b");
        EXPECT_EQ(dos[0].start, l);
        EXPECT_EQ(dos[0].size, c - l - 2048);
        EXPECT_EQ(dos[1].type, "6");
        EXPECT_EQ(dos[1].start, parts[0].start + 40960);
        EXPECT_EQ(dos[1].size, parts[0].length);
        EXPECT_EQ(dos[2].type, "85");
        EXPECT_EQ(dos[3].type, "83");
        EXPECT_EQ(dos[3].start, parts[1].start + 40960);
        EXPECT_EQ(dos[3].size, parts[1].length);
    }
    // The card tool wrote the partitions' data behind the partition table.
    auto boot = RandomBytes(70000, 1);
    auto written =
        ReadSectors(m_cards + "/F.card", 40960 + parts[0].start, (boot.size() + 511) / 512);
    ASSERT_GE(written.size(), boot.size());
    EXPECT_TRUE(std::equal(boot.begin(), boot.end(), written.begin()));
    // Restore one card: its last sixteen sectors are cleared.
    std::string card = m_cards + "/E.card";
    FillSectors(card, c - 16, 16, 0xAB);
    TheFinals().byLetter.clear();
    EXPECT_EQ(g_table->BurnCard('E', 3, 0), 0);
    ASSERT_EQ(TheFinals().byLetter['E'].size(), 1u);
    EXPECT_EQ(TheFinals().byLetter['E'][0].first, 10);
    EXPECT_TRUE(AllBytes(ReadSectors(card, c - 16, 16), 0));
}

TEST_F(CardFunLibraryTest, StartupCardWithGptPassesSgdisk) {
    if (!HaveTool("sgdisk")) GTEST_SKIP();
    std::string image = PackImage(true);
    ASSERT_EQ(g_table->SetImagePath(image.c_str()), 0);
    MakeVirtualCard('E', 256 * kMiB);
    BurnAll("E", 1);
    std::string out;
    RunCommand("sgdisk -v '" + m_cards + "/E.card'", &out);
    EXPECT_NE(out.find("No problems found"), std::string::npos) << out;
}

TEST_F(CardFunLibraryTest, RefusedImagesAndCardsEndWithOneFailure) {
    // An image the decoders refuse.
    std::string junk = HomePath("junk.img");
    WriteFile(junk, RandomBytes(8192, 4));
    EXPECT_EQ(g_table->SetImagePath(junk.c_str()), 146);
    EXPECT_FALSE(m_capture.Boxes().empty());
    // A card smaller than the device partitions.
    std::string image = PackImage(false);
    ASSERT_EQ(g_table->SetImagePath(image.c_str()), 0);
    MakeVirtualCard('G', 16 * kMiB);
    TheFinals().byLetter.clear();
    EXPECT_EQ(g_table->BurnCard('G', 1, 0), 257);
    auto& finals = TheFinals().byLetter['G'];
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0].first, 60);
    EXPECT_NE(finals[0].second.find("请更换卡大于"), std::string::npos) << finals[0].second;
    EXPECT_EQ(g_table->MessageCallBack(nullptr, 10, nullptr), 272);
}

} // namespace
} // namespace vorlane::test
