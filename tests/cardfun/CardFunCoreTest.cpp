// The card-functions library's parts over the real outside services: card
// preparation, partition tables, restore, the image check, the per-drive
// script, the card-tool run and the message relay.
#include "CardFunFixture.h"
#include "CardFunLog.h"
#include "ImageWriter.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

namespace vorlane::test {
namespace {

using namespace vorlane::cardfun;

constexpr uint64_t kMiB = 1024 * 1024;

// The test's device layout: small partitions so that small cards serve.
std::vector<FixturePartition> SmallLayout() {
    return {{"boot", 0x8000, 0x8000}, {"system", 0x10000, 0x10000}, {"UDISK", 0x20000, 0}};
}

class CardPrepTest : public CardFunFixture {};

// ---- product card -------------------------------------------------------------

TEST_F(CardPrepTest, ProductCardGetsOneFat32PartitionBehindTheImageCopy) {
    if (!HaveTool("sfdisk") || !HaveTool("fsck.fat")) GTEST_SKIP() << "sfdisk/fsck.fat missing";
    struct Case {
        uint64_t cardBytes;
        uint32_t part1End; // start(1) + size(1)
        int64_t imageBytes;
    } const cases[] = {
        // 15,523,840 sectors, image of 512,000,000 bytes: S = 1,070,960, N = 14,450,832.
        {15523840ull * 512, 30000, 512000000},
        // An image above 4 GiB counts in full (its low 32 bits would put S inside it).
        {16000000ull * 512, 30000, 5000000000ll},
    };
    for (const Case& c : cases) {
        std::string card = MakeVirtualCard('E', c.cardBytes);
        FillSectors(card, 0, 1, 0); // a fresh card
        WriteTables({{"boot", 10000, 10000},
                     {"system", 20000, c.part1End - 20000},
                     {"UDISK", c.part1End, 0}});
        m_lib->m_WriteMode = 0;
        m_lib->m_imageSize = c.imageBytes;
        ASSERT_EQ(m_lib->FormatToProCard('E'), 0);
        uint64_t s = c.part1End + 40960 + uint64_t(c.imageBytes) / 512;
        uint64_t n = c.cardBytes / 512 - s - 2048;
        if (c.imageBytes == 512000000) {
            EXPECT_EQ(s, 1070960u);
            EXPECT_EQ(n, 14450832u);
        }
        auto parts = SfdiskPartitions(card);
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(parts[0].type, "c");
        EXPECT_EQ(parts[0].start, s);
        EXPECT_EQ(parts[0].size, n);
        // The data partition is a valid FAT32 volume.
        std::string volume = m_root + "/volume.img";
        ASSERT_TRUE(ExtractRange(card, s * 512, n * 512, volume));
        std::string out;
        EXPECT_EQ(RunCommand("fsck.fat -n '" + volume + "'", &out), 0) << out;
        unlink(volume.c_str());
        EXPECT_TRUE(FileExists(HomePath("thisdata.fex")));
        unlink(card.c_str());
    }
}

TEST_F(CardPrepTest, ProductCardTooSmallForTheImageIsRefusedUntouched) {
    std::string card = MakeVirtualCard('E', 64 * kMiB);
    FillSectors(card, 0, 32, 0xA5);
    WriteTables(SmallLayout());
    m_lib->m_WriteMode = 0;
    m_lib->m_imageSize = 100 * kMiB;
    EXPECT_EQ(m_lib->FormatCard('E'), 1739);
    EXPECT_NE(m_lib->TakeErrorText('E').find("请更换卡大于"), std::string::npos);
    // Only the old data partition's first sectors may have been cleared (P = 0xA5A5A5A5 is
    // beyond the card, so nothing at all).
    EXPECT_TRUE(AllBytes(ReadSectors(card, 0, 32), 0xA5));
}

TEST_F(CardPrepTest, ProductCardRetriesAFailedWriteAndGivesUpAfterTwenty) {
    std::string card = MakeVirtualCard('E', 1200 * kMiB);
    WriteTables(SmallLayout());
    m_lib->m_WriteMode = 0;
    m_lib->m_imageSize = 0;
    auto& probe = CardOpsProbe::Get();
    probe.failWriteCall = 0; // the first clearing write fails once
    EXPECT_EQ(m_lib->FormatCard('E'), 0);
    EXPECT_EQ(probe.openCalls, 2);
    probe.Reset();
    probe.failReads = true;
    EXPECT_EQ(m_lib->FormatCard('E'), 6);
    EXPECT_EQ(probe.openCalls, 20);
}

// ---- opening with retries -----------------------------------------------------

TEST_F(CardPrepTest, OpenRetriesTwentyTimesThenFailsWithTheOperationsCode) {
    MakeVirtualCard('E', 64 * kMiB);
    WriteTables(SmallLayout());
    m_lib->m_WriteMode = 1;
    m_lib->m_userData = 1;
    auto& probe = CardOpsProbe::Get();
    struct Case {
        int (CCardFacade::*op)(char);
        int code;
    } const cases[] = {{&CCardFacade::FormatCard, 1507},
                       {&CCardFacade::SetGpt, 1407},
                       {&CCardFacade::ClearDosPartitionTableData, 2021}};
    for (const Case& c : cases) {
        probe.Reset();
        probe.openFailures = -1;
        EXPECT_EQ((m_lib.get()->*c.op)('E'), c.code);
        EXPECT_EQ(probe.openCalls, 21); // the first call and 20 retries
        EXPECT_TRUE(probe.writes.empty());
    }
    // A card that comes back after a few tries is used.
    probe.Reset();
    probe.openFailures = 5;
    EXPECT_EQ(m_lib->ClearDosPartitionTableData('E'), 0);
    EXPECT_EQ(probe.openCalls, 6);
    // WriteDosPartitions does not retry and says so.
    probe.Reset();
    probe.openFailures = 1;
    EXPECT_EQ(m_lib->WriteDosPartitions('E'), 1801);
}

// ---- startup and key cards ------------------------------------------------------

TEST_F(CardPrepTest, StartupCardTooSmallShowsTheSizeAndWritesNothing) {
    // Last device partition at 7,000,000, boot start 40960, card of 7,000,000 sectors.
    std::string card = MakeVirtualCard('E', 7000000ull * 512);
    FillSectors(card, 0, 16, 0x5A);
    WriteTables({{"boot", 40000, 1000}, {"UDISK", 7000000, 0}});
    m_lib->m_WriteMode = 1;
    EXPECT_EQ(m_lib->FormatCard('E'), 1739);
    EXPECT_EQ(m_lib->TakeErrorText('E'), "请更换卡大于 3.4 G");
    EXPECT_EQ(m_lib->TakeErrorText('E'), ""); // emptied once taken
    EXPECT_TRUE(CardOpsProbe::Get().writes.empty());
    EXPECT_TRUE(AllBytes(ReadSectors(card, 0, 16), 0x5A));
}

TEST_F(CardPrepTest, DevicePartitionsAreClearedInBlocksExceptUdisk) {
    std::string card = MakeVirtualCard('E', 256 * kMiB);
    // 1000 sectors: 2000 cleared (15 x 128 + 80); 100,000 sectors: 64 x 128 + 64.
    WriteTables({{"boot", 0x8000, 1000},
                 {"system", 0x9000, 100000},
                 {"UDISKDATA", 0x30000, 5000},
                 {"UDISK", 0x40000, 0}});
    FillSectors(card, 40960 + 0x8000, 2001, 0xEE);
    m_lib->m_WriteMode = 2; // key card: no sector 1-14 clearing, only the partitions
    m_lib->m_userData = 1;
    ASSERT_EQ(m_lib->FormatCard('E'), 0);
    std::vector<std::pair<uint32_t, uint32_t>> expected;
    for (int b = 0; b < 15; ++b)
        expected.emplace_back(40960 + 0x8000 + 128 * b, 128);
    expected.emplace_back(40960 + 0x8000 + 1920, 80);
    for (int b = 0; b < 64; ++b)
        expected.emplace_back(40960 + 0x9000 + 128 * b, 128);
    expected.emplace_back(40960 + 0x9000 + 8192, 64);
    EXPECT_EQ(CardOpsProbe::Get().writes, expected);
    EXPECT_TRUE(AllBytes(ReadSectors(card, 40960 + 0x8000, 2000), 0));
    EXPECT_TRUE(AllBytes(ReadSectors(card, 40960 + 0x8000 + 2000, 1), 0xEE));
    // With the user-data option the data volume is a 4096-byte placeholder.
    EXPECT_EQ(ReadFile(HomePath("thisdata.fexE")), std::vector<uint8_t>(4096, 0));
}

TEST_F(CardPrepTest, ClearingNeverWritesPastTheCardsEnd) {
    // The last partition's clearing block (2 x 4000 sectors) would run past the card.
    uint64_t sectors = 40960 + 0x8000 + 2048 + 100;
    std::string card = MakeVirtualCard('E', sectors * 512);
    WriteTables({{"boot", 0x8000, 4000}});
    m_lib->m_WriteMode = 2;
    m_lib->m_userData = 1;
    ASSERT_EQ(m_lib->FormatCard('E'), 0);
    for (auto [first, count] : CardOpsProbe::Get().writes)
        EXPECT_LE(first + count, sectors);
}

TEST_F(CardPrepTest, StartupCardDataVolumeIsFat32OfTheFreeArea) {
    if (!HaveTool("fsck.fat")) GTEST_SKIP();
    std::string card = MakeVirtualCard('E', 256 * kMiB);
    WriteTables(SmallLayout());
    m_lib->m_WriteMode = 1;
    ASSERT_EQ(m_lib->FormatCard('E'), 0);
    // The volume file holds the metadata of a volume of C - L - 2048 sectors.
    std::string volume = HomePath("thisdata.fex");
    uint64_t d = 256 * kMiB / 512 - (0x20000 + 40960) - 2048;
    ASSERT_EQ(truncate(volume.c_str(), off_t(d * 512)), 0);
    std::string out;
    EXPECT_EQ(RunCommand("fsck.fat -n '" + volume + "'", &out), 0) << out;
}

// ---- DOS partition table ----------------------------------------------------------

TEST_F(CardPrepTest, StartupCardDosTableShowsDevicePartitionsAndFreeArea) {
    if (!HaveTool("sfdisk")) GTEST_SKIP();
    std::string card = MakeVirtualCard('E', 256 * kMiB);
    WriteTables(SmallLayout());
    m_lib->m_WriteMode = 1;
    ASSERT_EQ(m_lib->WriteDosPartitions('E'), 0);
    std::string raw;
    auto parts = SfdiskPartitions(card, &raw);
    uint64_t c = 256 * kMiB / 512, l = 0x20000 + 40960;
    ASSERT_GE(parts.size(), 4u) << raw;
    // FAT32 free area, the first device partition (FAT16, bootable), the
    // extended partition and the second device partition inside it.
    EXPECT_EQ(parts[0].type, "b");
    EXPECT_EQ(parts[0].start, l);
    EXPECT_EQ(parts[0].size, c - l - 2048);
    EXPECT_EQ(parts[1].type, "6");
    EXPECT_EQ(parts[1].start, 0x8000u + 40960);
    EXPECT_EQ(parts[1].size, 0x8000u);
    EXPECT_EQ(parts[2].type, "85");
    EXPECT_EQ(parts[2].start, 1u);
    EXPECT_EQ(parts[3].type, "83");
    EXPECT_EQ(parts[3].start, 0x10000u + 40960);
    EXPECT_EQ(parts[3].size, 0x10000u);
    size_t bootable = raw.find("\"bootable\"");
    ASSERT_NE(bootable, std::string::npos) << raw;
    EXPECT_EQ(raw.compare(raw.find_first_not_of(": ", bootable + 10), 4, "true"), 0) << raw;
}

TEST_F(CardPrepTest, DosTableSectorsFollowTheCardKindAndTheFourteenLimit) {
    MakeVirtualCard('E', 512 * kMiB);
    std::vector<FixturePartition> parts;
    for (int i = 0; i < 20; ++i)
        parts.push_back({"p" + std::to_string(i), uint32_t(0x1000 * (i + 1)), 0x1000});
    WriteTables(parts);
    auto& probe = CardOpsProbe::Get();
    for (int mode : {0, 2}) {
        probe.Reset();
        m_lib->m_WriteMode = mode;
        EXPECT_EQ(m_lib->WriteDosPartitions('E'), 0);
        EXPECT_TRUE(probe.tableSectors.empty()) << mode;
    }
    probe.Reset();
    m_lib->m_WriteMode = 1;
    EXPECT_EQ(m_lib->WriteDosPartitions('E'), 0);
    std::vector<uint32_t> expected;
    for (uint32_t i = 0; i < 14; ++i)
        expected.push_back(i);
    EXPECT_EQ(probe.tableSectors, expected);
}

TEST_F(CardPrepTest, MissingWorkFilesAreReportedNotCalled) {
    MakeVirtualCard('E', 64 * kMiB);
    m_lib->m_WriteMode = 1;
    EXPECT_EQ(m_lib->FormatCard('E'), 1508);
    EXPECT_EQ(m_lib->SetGpt('E'), 1408);
    EXPECT_EQ(m_lib->WriteDosPartitions('E'), 1802);
    EXPECT_TRUE(CardOpsProbe::Get().writes.empty());
    // No card-operations service at all.
    m_lib->m_cardOps = nullptr;
    EXPECT_EQ(m_lib->FormatCard('E'), 3);
    EXPECT_EQ(m_lib->ClearDosPartitionTableData('E'), 3);
}

// ---- GPT ----------------------------------------------------------------------------

TEST_F(CardPrepTest, GptWithBackupPassesSgdisk) {
    if (!HaveTool("sgdisk")) GTEST_SKIP();
    ASSERT_NE(m_lib->m_conversion, nullptr) << "Caldrin.so missing";
    for (int mode : {1, 0}) {
        std::string card = MakeVirtualCard('E', 128 * kMiB);
        FillSectors(card, 0, 16, 0x77);
        WriteTables(SmallLayout());
        m_lib->m_WriteMode = mode;
        ASSERT_EQ(m_lib->SetGpt('E'), 0);
        std::string out;
        RunCommand("sgdisk -v '" + card + "'", &out);
        EXPECT_NE(out.find("No problems found"), std::string::npos) << mode << ": " << out;
        // The backup header sits in the last sector.
        auto last = ReadSectors(card, 128 * kMiB / 512 - 1, 1);
        ASSERT_FALSE(last.empty());
        EXPECT_EQ(std::string(last.begin(), last.begin() + 8), "EFI PART");
        unlink(card.c_str());
    }
}

// ---- restore ------------------------------------------------------------------------

TEST_F(CardPrepTest, RestoreClearsTheLastSixteenSectors) {
    uint64_t sectors = 64 * kMiB / 512;
    std::string card = MakeVirtualCard('E', sectors * 512);
    FillSectors(card, sectors - 40, 40, 0xCC);
    FillSectors(card, 0, 1, 0xCC);
    EXPECT_EQ(m_lib->ClearDosPartitionTableData('E'), 0);
    EXPECT_TRUE(AllBytes(ReadSectors(card, sectors - 16, 16), 0));
    EXPECT_TRUE(AllBytes(ReadSectors(card, sectors - 40, 24), 0xCC));
    EXPECT_TRUE(AllBytes(ReadSectors(card, 0, 1), 0xCC));
    auto& probe = CardOpsProbe::Get();
    probe.Reset();
    probe.failReads = true;
    EXPECT_EQ(m_lib->ClearDosPartitionTableData('E'), 2034);
    probe.Reset();
    probe.failWriteCall = 3;
    EXPECT_EQ(m_lib->ClearDosPartitionTableData('E'), 2044);
}

// ---- image check, per-drive script ------------------------------------------------------

class ImageCheckTest : public CardFunFixture {
  protected:
    void SetUp() override {
        CardFunFixture::SetUp();
        auto* d32 =
            static_cast<const Decoder32Table*>(m_center->GetPluginInterface(VORLANE_IID_DECODER32));
        auto* d64 =
            static_cast<const Decoder64Table*>(m_center->GetPluginInterface(VORLANE_IID_DECODER64));
        m_lib->m_imageDec = std::make_unique<ImageDecMan>(d32, d64);
        const char* names[][3] = {{"card", "12345678", "CARDTOOL00000000"},
                                  {"script", "12345678", "1234567890SCRIPT"},
                                  {"mbr", "12345678", "1234567890___MBR"},
                                  {"gpt", "12345678", "1234567890___GPT"},
                                  {"dlinfo", "12345678", "1234567890DLINFO"}};
        ItemName* fields[] = {&m_lib->m_config.card, &m_lib->m_config.script, &m_lib->m_config.mbr,
                              &m_lib->m_config.gpt, &m_lib->m_config.dlinfo};
        for (int i = 0; i < 5; ++i) {
            snprintf(fields[i]->main, sizeof fields[i]->main, "%s", names[i][1]);
            snprintf(fields[i]->sub, sizeof fields[i]->sub, "%s", names[i][2]);
        }
        m_lib->m_configLoaded = 1;
    }
    // Packs an image with the work items; `skip` leaves one out.
    std::string PackImage(const std::string& script, const std::vector<FixturePartition>& parts,
                          const std::vector<FixtureDownload>& downloads,
                          const std::string& skip = "", uint32_t version = 2) {
        image::Writer w;
        if (skip != "script") w.AddData("12345678", "1234567890SCRIPT", script);
        if (skip != "card")
            w.AddData("12345678", "CARDTOOL00000000", std::string("TOOL-FROM-IMAGE"));
        if (skip != "mbr") w.AddData("12345678", "1234567890___MBR", BuildLargeTable(parts));
        if (skip != "gpt") w.AddData("12345678", "1234567890___GPT", std::string("gpt"));
        if (skip != "dlinfo")
            w.AddData("12345678", "1234567890DLINFO", BuildLargeDownload(downloads));
        std::string path = HomePath("test.img");
        std::string error;
        EXPECT_TRUE(w.Write(path, version, &error)) << error;
        struct stat st;
        stat(path.c_str(), &st);
        snprintf(m_lib->m_imagePath, sizeof m_lib->m_imagePath, "%s", path.c_str());
        m_lib->m_imageSize = st.st_size;
        m_lib->m_imageSectors = st.st_size / 512;
        return path;
    }
    std::string ScriptValue(const std::string& file, const char* section, const char* key) {
        char value[256] = {};
        GetPrivateProfileStringA(section, key, "<none>", value, sizeof value,
                                 HomePath(file).c_str());
        return value;
    }
};

TEST_F(ImageCheckTest, StartposFollowsTheLastDownloadPartitionAndTheBootStart) {
    struct Case {
        std::string script;
        std::vector<FixtureDownload> downloads;
        int index;
        uint32_t boot;
    } const cases[] = {
        // No [card_boot]: boot start 40960. The last partition has no download: index 1.
        {"[process]\r\nversion = 300\r\n", DefaultDownloads(), 1, 40960},
        // The last partition receives data: index = partCount.
        {"[card_boot]\r\nstart = 32768\r\n[process]\r\nversion = 300\r\n",
         {{"boot", "B"}, {"UDISK", "U"}},
         3,
         32768},
    };
    for (const Case& c : cases) {
        std::string image = PackImage(c.script, DefaultPartitions(), c.downloads);
        ASSERT_EQ(m_lib->CheckImageFile(), 0);
        EXPECT_EQ(m_lib->m_thisDataIndex, c.index);
        EXPECT_EQ(m_lib->m_bootStart, c.boot);
        auto parts = DefaultPartitions();
        uint64_t start = (c.index < 3 ? parts[c.index].start + parts[c.index].length : 0) +
                         m_lib->m_imageSectors + c.boot;
        EXPECT_EQ(ScriptValue("script.cfg", "process", "startpos"), std::to_string(start));
        EXPECT_EQ(m_lib->m_gptFlag, 1);
    }
}

TEST_F(ImageCheckTest, EveryMissingWorkItemHasItsCodeAndText) {
    struct Case {
        std::string skip;
        int code;
        size_t boxes;
    } const cases[] = {
        {"script", 218, 1}, {"card", 218, 1}, {"mbr", 218, 1}, {"dlinfo", 218, 1}, {"gpt", 0, 0}};
    for (const Case& c : cases) {
        m_capture.Clear();
        PackImage("[process]\r\n", DefaultPartitions(), DefaultDownloads(), c.skip);
        EXPECT_EQ(m_lib->CheckImageFile(), c.code) << c.skip;
        EXPECT_EQ(m_capture.Boxes().size(), c.boxes) << c.skip;
        if (c.skip == "gpt") {
            EXPECT_EQ(m_lib->m_gptFlag, 0);
            EXPECT_TRUE(FileExists(HomePath("gpt.fex")));
            EXPECT_TRUE(ReadFile(HomePath("gpt.fex")).empty());
        } else {
            EXPECT_EQ(m_lib->m_imagePath[0], '\0') << "a refused image is forgotten";
        }
    }
    // Without the configuration the first step stops with its own code.
    m_lib->m_configLoaded = 0;
    EXPECT_EQ(m_lib->GetFileFromImage(), 634);
}

TEST_F(ImageCheckTest, UnwritableWorkDirectoryRefusesTheImage) {
    std::string image = PackImage("[process]\r\n", DefaultPartitions(), DefaultDownloads());
    WriteFile(HomePath("plain"), std::string("x"));
    setenv("VORLANE_HOME", (m_home + "/plain/work").c_str(), 1);
    m_capture.Clear();
    EXPECT_EQ(m_lib->SetImagePath(image.c_str()), 146);
    ASSERT_EQ(m_capture.Boxes().size(), 1u);
    EXPECT_EQ(m_capture.Boxes()[0].caption, "VorlaneCard");
    EXPECT_EQ(m_lib->m_sarnet, nullptr);
    setenv("VORLANE_HOME", m_home.c_str(), 1);
}

TEST_F(ImageCheckTest, ToolSourceFromOptionsReplacesTheImagesCardTool) {
    PackImage("[process]\r\n", DefaultPartitions(), DefaultDownloads());
    struct Case {
        std::string option;
        bool createTool;
        std::string card;
    } const cases[] = {
        {"[option]\r\nToolsrc = img\r\nactiveToolsrc = 1\r\n", false, "TOOL-FROM-IMAGE"},
        {"[option]\r\nToolsrc = mytool.scj\r\nactiveToolsrc = 1\r\n", true, "MY-TOOL"},
        {"[option]\r\nToolsrc = mytool.scj\r\nactiveToolsrc = 0\r\n", true, "TOOL-FROM-IMAGE"},
        // A tool source that does not exist: the image's card tool is used.
        {"[option]\r\nToolsrc = gone.scj\r\nactiveToolsrc = 1\r\n", false, "TOOL-FROM-IMAGE"},
    };
    for (const Case& c : cases) {
        unlink(HomePath("MYTOOL.SCJ").c_str());
        if (c.createTool) WriteFile(HomePath("MYTOOL.SCJ"), std::string("MY-TOOL"));
        WriteFile(HomePath("option.cfg"), c.option);
        m_lib->ReadOptions();
        ASSERT_EQ(m_lib->GetFileFromImage(), 0) << c.option;
        auto bytes = ReadFile(HomePath("card.scj"));
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.card) << c.option;
    }
}

TEST_F(ImageCheckTest, PrepareScriptWritesTheCardKind) {
    WriteFile(HomePath("script.cfg"),
              std::string("[process]\r\nversion = 300\r\nstartpos = 5\r\n"));
    struct Case {
        int mode;
        std::string word, data;
    } const cases[] = {{0, "product", "0"}, {1, "bromrun", "<none>"}, {2, "burnkey", "0"}};
    for (const Case& c : cases) {
        EXPECT_EQ(m_lib->PrepareScript('F', c.mode), 0);
        EXPECT_EQ(ScriptValue("script.cfgF", "process", "mode"), c.word);
        EXPECT_EQ(ScriptValue("script.cfgF", "process", "data"), c.data);
        EXPECT_EQ(ScriptValue("script.cfgF", "process", "startpos"), "5");
        EXPECT_EQ(m_lib->m_WriteMode, c.mode);
    }
}

// ---- card tool run, message relay ---------------------------------------------------------

// A card tool stand-in: sends the codes it is told to, records concurrency.
struct FakeTool {
    std::vector<int> codes;
    std::atomic<int> running{0}, maxRunning{0};
    std::mutex lock;
    std::condition_variable arrived;
    int waitingForPartner = 0; // entries wait up to this many ms for a second one
    ToolParam seen = {};
    InterfaceEntry seenInterfaces[6] = {};
    static FakeTool& Get() {
        static FakeTool tool;
        return tool;
    }
    static int Entry(ToolParam* p) {
        auto& t = Get();
        {
            std::unique_lock<std::mutex> guard(t.lock);
            t.seen = *p;
            memcpy(t.seenInterfaces, p->interfaces, sizeof t.seenInterfaces);
            int now = ++t.running;
            t.maxRunning = std::max(t.maxRunning.load(), now);
            t.arrived.notify_all();
            if (t.waitingForPartner)
                t.arrived.wait_for(guard, std::chrono::milliseconds(t.waitingForPartner),
                                   [&] { return t.maxRunning.load() >= 2; });
        }
        for (int code : t.codes) {
            snprintf(p->message, sizeof p->message, "tool says %d", code);
            p->progress = 50;
            SendMessageA(p->notifyWindow, WM_CARD_NOTIFY, WPARAM(code), LPARAM(p));
        }
        --t.running;
        return 0;
    }
};
const SarnetTable kFakeTool = {FakeTool::Entry, nullptr};

CardManFunc* g_windowLib = nullptr;
LRESULT ForwardToLibrary(HWND window, unsigned message, WPARAM w, LPARAM l, void*) {
    if (message == WM_CARD_NOTIFY && g_windowLib)
        return g_windowLib->MessageCallBack(window, int(w), reinterpret_cast<ToolParam*>(l));
    return 0;
}

class BurnRunTest : public CardFunFixture {
  protected:
    void SetUp() override {
        CardFunFixture::SetUp();
        g_windowLib = m_lib.get();
        m_window = VpCreateWindow(ForwardToLibrary, nullptr);
        m_lib->SetMainWindow(m_window);
        auto& tool = FakeTool::Get();
        tool.codes.clear();
        tool.running = 0;
        tool.maxRunning = 0;
        tool.waitingForPartner = 0;
        m_lib->m_sarnet = &kFakeTool;
        m_lib->m_burnMutex = CreateMutexA(nullptr, 0, "CArdFace");
        WriteTables(SmallLayout());
        WriteFile(HomePath("script.cfg"), std::string("[process]\r\nversion = 300\r\n"));
        m_lib->m_userData = 1;
    }
    void TearDown() override {
        g_windowLib = nullptr;
        VpDestroyWindow(m_window);
        CardFunFixture::TearDown();
    }
    HWND m_window = nullptr;
};

TEST_F(BurnRunTest, MessageCallBackRelaysTheCodes) {
    ToolParam block = {};
    block.drive = 'G';
    block.progress = 100;
    snprintf(block.message, sizeof block.message, "hello");
    struct Case {
        int code;
        std::string text;
        bool relayed;
    } const cases[] = {{10, "100%", true},  {20, "100%", true},  {30, "hello", true},
                       {40, "hello", true}, {50, "hello", true}, {60, "hello", true},
                       {15, "", false},     {0, "", false}};
    for (const Case& c : cases) {
        Messages().clear();
        EXPECT_EQ(m_lib->MessageCallBack(nullptr, c.code, &block), 0);
        if (!c.relayed) {
            EXPECT_TRUE(Messages().empty()) << c.code;
            continue;
        }
        ASSERT_EQ(Messages().size(), 1u) << c.code;
        EXPECT_EQ(Messages()[0].letter, 'G');
        EXPECT_EQ(Messages()[0].text, c.text);
        EXPECT_EQ(Messages()[0].code, c.code);
    }
    EXPECT_EQ(m_lib->MessageCallBack(nullptr, 10, nullptr), 272);
    // A message without terminator is relayed cut at its field.
    memset(block.message, 'x', sizeof block.message);
    Messages().clear();
    m_lib->MessageCallBack(nullptr, 40, &block);
    EXPECT_EQ(Messages().at(0).text.size(), sizeof block.message);
}

TEST_F(BurnRunTest, EveryBurnEndsWithExactlyOneFinalCallback) {
    struct Case {
        const char* what;
        std::vector<int> toolCodes;
        bool toolLoaded;
        bool cardPresent;
        int gptFlag;
        int result;
        int finalCode;
        std::string textPart;
    } const cases[] = {
        {"tool done", {40, 20, 10}, true, true, 0, 0, 10, "100%"},
        {"tool failed", {40, 50, 60}, true, true, 0, 257, 60, "tool says 60"},
        {"tool silent", {40}, true, true, 0, 257, 60, "without reporting"},
        {"tool missing", {}, false, true, 0, 257, 60, "not loaded"},
        {"card missing", {10}, true, false, 0, 257, 60, "1507"},
        {"table failed", {10}, true, true, 1, 257, 60, "1409"},
    };
    for (const Case& c : cases) {
        Messages().clear();
        std::string card = m_cards + "/G.card";
        if (c.cardPresent)
            MakeVirtualCard('G', 256 * kMiB);
        else {
            unlink(card.c_str());
            VpDriveRefresh();
        }
        FakeTool::Get().codes = c.toolCodes;
        m_lib->m_sarnet = c.toolLoaded ? &kFakeTool : nullptr;
        m_lib->m_gptFlag = c.gptFlag;
        // Without the table-conversion service SetGpt fails after the card tool.
        auto* conversion = m_lib->m_conversion;
        if (c.gptFlag) m_lib->m_conversion = nullptr;
        EXPECT_EQ(m_lib->BurnCard('G', 2), c.result) << c.what;
        auto finals = Finals('G');
        ASSERT_EQ(finals.size(), 1u) << c.what;
        EXPECT_EQ(finals[0].code, c.finalCode) << c.what;
        EXPECT_NE(finals[0].text.find(c.textPart), std::string::npos)
            << c.what << ": " << finals[0].text;
        // The final callback is the last one.
        EXPECT_EQ(Messages().back().code, c.finalCode) << c.what;
        m_lib->m_conversion = conversion;
    }
    // An unknown card kind touches nothing and fails once.
    Messages().clear();
    EXPECT_EQ(m_lib->BurnCard('G', 7), 257);
    EXPECT_EQ(Finals('G').size(), 1u);
    EXPECT_EQ(Messages().size(), 1u);
    // Outside a burn the card tool's done is relayed at once.
    ToolParam block = {};
    block.drive = 'G';
    Messages().clear();
    m_lib->MessageCallBack(nullptr, 10, &block);
    EXPECT_EQ(Finals('G').size(), 1u);
}

TEST_F(BurnRunTest, CardTooSmallShowsItsSizeText) {
    MakeVirtualCard('G', 32 * kMiB);
    FakeTool::Get().codes = {10};
    EXPECT_EQ(m_lib->BurnCard('G', 1), 257);
    auto finals = Finals('G');
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0].code, 60);
    EXPECT_EQ(finals[0].text, "请更换卡大于 0.1 G");
    EXPECT_EQ(FakeTool::Get().maxRunning, 0) << "the card tool must not run";
}

TEST_F(BurnRunTest, RestoreReportsItsOutcome) {
    MakeVirtualCard('G', 64 * kMiB);
    EXPECT_EQ(m_lib->BurnCard('G', 3), 0);
    ASSERT_EQ(Finals('G').size(), 1u);
    EXPECT_EQ(Finals('G')[0].code, 10);
    EXPECT_EQ(Finals('G')[0].text, "ok");
    Messages().clear();
    unlink((m_cards + "/G.card").c_str());
    VpDriveRefresh();
    EXPECT_EQ(m_lib->BurnCard('G', 3), 2021);
    ASSERT_EQ(Finals('G').size(), 1u);
    EXPECT_EQ(Finals('G')[0].code, 60);
    EXPECT_NE(Finals('G')[0].text.find("2021"), std::string::npos);
}

TEST_F(BurnRunTest, BigImagesRunStartupCardToolsOneAtATime) {
    struct Case {
        int mode;
        int64_t imageBytes;
        int64_t threshold;
        int maxRunning;
    } const cases[] = {
        {1, 2000, 1000, 1},
        {1, 500, 1000, 2},
        {0, 2000, 1000, 2},
        // The full 64-bit size counts: 4 GiB + 1000 bytes is a big image.
        {1, (int64_t(1) << 32) + 1000, kBigImageBytes, 1},
    };
    for (const Case& c : cases) {
        auto& tool = FakeTool::Get();
        tool.maxRunning = 0;
        tool.waitingForPartner = c.maxRunning == 2 ? 10000 : 300;
        m_lib->m_WriteMode = c.mode;
        m_lib->m_imageSize = c.imageBytes;
        m_lib->m_bigImageBytes = c.threshold;
        std::thread a([&] { EXPECT_EQ(m_lib->StartCardThread('G'), 0); });
        std::thread b([&] { EXPECT_EQ(m_lib->StartCardThread('H'), 0); });
        a.join();
        b.join();
        EXPECT_EQ(tool.maxRunning, c.maxRunning) << c.mode << " " << c.imageBytes;
    }
}

TEST_F(BurnRunTest, ToolParamCarriesTheDriveAndItsServices) {
    auto* d64 = m_center->GetPluginInterface(VORLANE_IID_DECODER64);
    auto* d32 =
        static_cast<const Decoder32Table*>(m_center->GetPluginInterface(VORLANE_IID_DECODER32));
    m_lib->m_imageDec = std::make_unique<ImageDecMan>(d32, nullptr);
    image::Writer w;
    w.AddData("A", "B", std::string("x"));
    std::string error;
    ASSERT_TRUE(w.Write(HomePath("v1.img"), 1, &error));
    m_lib->m_imageDec->GetImageItem("A", "B", HomePath("v1.img").c_str(), HomePath("o").c_str());
    struct Case {
        int mode;
        std::string option;
        uint32_t extension, res;
    } const cases[] = {
        {1, "[option]\r\nactiveFirstPartSize = 1\r\nFirstPartSize = 100\r\n", 100, 0x11},
        {1, "[option]\r\nactiveFirstPartSize = 1\r\nFirstPartSize = 0\r\n", 0, 0},
        {0, "[option]\r\nactiveFirstPartSize = 1\r\nFirstPartSize = 100\r\n", 0, 0},
    };
    for (const Case& c : cases) {
        WriteFile(HomePath("option.cfg"), c.option);
        m_lib->m_WriteMode = c.mode;
        ASSERT_EQ(m_lib->StartCardThread('K'), 0);
        const ToolParam& p = FakeTool::Get().seen;
        EXPECT_EQ(p.size, sizeof(ToolParam));
        EXPECT_EQ(p.version, 0x0100);
        EXPECT_EQ(memcmp(&p.magic, "card", 4), 0);
        EXPECT_EQ(p.burnMode, 2);
        EXPECT_EQ(p.drive, 'K');
        EXPECT_EQ(std::string(p.workPath), m_home + "/K");
        EXPECT_EQ(std::string(p.scriptPath), m_home + "/script.cfgK");
        EXPECT_EQ(p.notifyWindow, m_window);
        EXPECT_EQ(p.interfaceCount, 6u);
        EXPECT_EQ(p.Extension, c.extension);
        EXPECT_EQ(p.res, c.res);
        const char* ids[] = {VORLANE_IID_CHECKSUM,      VORLANE_IID_DECODER64,
                             VORLANE_IID_CARD_DEVICE,   VORLANE_IID_OSTRAND,
                             VORLANE_IID_CONFIG_PARSER, VORLANE_IID_SUM};
        for (int i = 0; i < 6; ++i)
            EXPECT_STREQ(FakeTool::Get().seenInterfaces[i].id, ids[i]);
        // The image decoder entry is the decoder that opened the image (here the 32-bit one).
        EXPECT_EQ(FakeTool::Get().seenInterfaces[1].table, static_cast<const void*>(d32));
        EXPECT_NE(FakeTool::Get().seenInterfaces[1].table, d64);
    }
}

} // namespace
} // namespace vorlane::test

namespace vorlane::test {
namespace {

// Texts 35 of the language file are formats filled with a letter and a code:
// any other conversion must never reach printf.
TEST(CardFunTexts, FailureFormatsAreCheckedBeforeUse) {
    struct Case {
        const char* format;
        std::string expected;
    } const cases[] = {
        {"%c: writing the card failed (error %d)", "E: writing the card failed (error 257)"},
        {"100%% %c %5d", "100% E   257"},
        {"%s %d", "Drive E failed: 257"},
        {"%c %d %d", "Drive E failed: 257"},
        {"%d %c", "Drive E failed: 257"},
        {"%c %n", "Drive E failed: 257"},
        {"trailing %", "Drive E failed: 257"},
        {nullptr, "Drive E failed: 257"},
    };
    for (const Case& c : cases) {
        char out[128];
        cardfun::FormatLetterCode(out, sizeof out, c.format, 'E', 257);
        EXPECT_EQ(std::string(out), c.expected) << (c.format ? c.format : "(null)");
    }
}

TEST(CardFunPaths, WorkPathsThatDoNotFitAreErrorsNotCutPaths) {
    char out[VORLANE_MAX_PATH];
    EXPECT_EQ(cardfun::CCardFacade::ModuleFilePath(nullptr, out), 869);
    EXPECT_EQ(cardfun::CCardFacade::ModuleFilePath("x", nullptr), 869);
    std::string home = MakeTempDir("cfpath");
    setenv("VORLANE_HOME", home.c_str(), 1);
    EXPECT_EQ(cardfun::CCardFacade::ModuleFilePath("script.cfg", out), 0);
    EXPECT_EQ(std::string(out), home + "/script.cfg");
    std::string longName(VORLANE_MAX_PATH, 'a');
    EXPECT_EQ(cardfun::CCardFacade::ModuleFilePath(longName.c_str(), out), 871);
    EXPECT_EQ(out[0], '\0');
    RemoveTree(home);
}

} // namespace
} // namespace vorlane::test

namespace vorlane::test {
namespace {

// Without the plug-in centre (an empty module directory) the library object
// still builds, Initialize says why it cannot work, texts never become null
// and a burn ends with one failure callback.
class CardFunNoPlugins : public VorlaneTest {};

std::vector<std::pair<int, std::string>> g_noPluginMessages;
int RecordNoPlugin(char, const char* text, int code) {
    g_noPluginMessages.push_back({code, text ? text : ""});
    return 0;
}

TEST_F(CardFunNoPlugins, MissingPluginCentreIsAClearFailure) {
    std::string saved = getenv("VORLANE_MODULE_DIR") ? getenv("VORLANE_MODULE_DIR") : "";
    std::string empty = m_root + "/modules";
    mkdir(empty.c_str(), 0755);
    setenv("VORLANE_MODULE_DIR", empty.c_str(), 1);
    cardfun::CardManFunc lib;
    lib.LoadAtStartup();
    EXPECT_EQ(lib.ConstructionError(), 2);
    EXPECT_EQ(lib.Initialize(), 2);
    for (int id : {21, 22, 23, 26, 35, 44, 45, 46}) {
        ASSERT_NE(lib.GetText(id), nullptr);
        EXPECT_NE(lib.GetText(id)[0], '\0') << id;
    }
    lib.SetMessageCallBack(RecordNoPlugin);
    g_noPluginMessages.clear();
    EXPECT_EQ(lib.BurnCard('E', 1), 257);
    int finals = 0;
    for (auto& m : g_noPluginMessages)
        finals += m.first == 10 || m.first == 60;
    EXPECT_EQ(finals, 1);
    EXPECT_EQ(g_noPluginMessages.back().first, 60);
    EXPECT_EQ(lib.SetImagePath(HomePath("none.img").c_str()), 146);
    setenv("VORLANE_MODULE_DIR", saved.c_str(), 1);
}

} // namespace
} // namespace vorlane::test
