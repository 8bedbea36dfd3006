// Whole cards written by SarnetEntry of Sarnet.so (loaded by the plug-in
// centre) with the real checksum, image-decoder and card-device services,
// from an image packed in the test; every check reads the card bytes.
#include "Fixtures.h"
#include "ImageWriter.h"
#include "Interfaces.h"
#include "LibraryTables.h"
#include "ServiceTables.h"
#include "TestSupport.h"
#include "ToolParam.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <thread>

using namespace vorlane::test;
using namespace vorlane::test::burn;

namespace {

void* g_unused[16] = {};

struct CardRun {
    ToolParam param{};
    InterfaceEntry entries[6]{};
    std::mutex lock;
    std::vector<std::pair<int, std::string>> notes;
    HWND window = nullptr;
    static LRESULT Proc(HWND, unsigned message, WPARAM w, LPARAM l, void* self) {
        if (message != WM_CARD_NOTIFY) return 0;
        auto* r = static_cast<CardRun*>(self);
        std::lock_guard<std::mutex> g(r->lock);
        r->notes.push_back({int(w), reinterpret_cast<ToolParam*>(l)->message});
        return 0;
    }
    ~CardRun() {
        if (window) VpDestroyWindow(window);
    }
};

// Device layout: table at 40960; boot, system, UDISK relative to it.
constexpr uint32_t kTable = 40960;
constexpr uint32_t kBootStart = 32768, kBootLength = 2048;
constexpr uint32_t kSystemStart = 34816, kSystemLength = 4096;
constexpr uint32_t kUdiskStart = 38912;
constexpr uint32_t kDataStartProduct = 90000;

class SarnetCardRun : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        setenv("VORLANE_CODEPAGE", "1252", 1);
        m_sarnet = static_cast<const SarnetTable*>(LoadTable(VORLANE_IID_SARNET, "Sarnet.so"));
        m_crc = LoadTable(VORLANE_IID_CHECKSUM, "crc32.so");
        m_decoder = LoadTable(VORLANE_IID_DECODER64, "Unspool64.so");
        m_device = LoadTable(VORLANE_IID_CARD_DEVICE, "Quillon.so");
        ASSERT_TRUE(m_sarnet && m_crc && m_decoder && m_device);

        m_toc0 = MakeToc0(8192, 3, 1);
        m_boot0 = MakeBoot0(98304, 2);
        m_uboot = MakeUboot(2048, 0x22, 3);
        m_package = MakeBootPackage(
            {{"scp", RandomBytes(700, 4)}, {"u-boot", m_uboot}, {"dtb", RandomBytes(900, 5)}});
        m_mbr = MakeMbr({{"boot", kBootStart, kBootLength},
                         {"system", kSystemStart, kSystemLength},
                         {"UDISK", kUdiskStart, 0}},
                        4);
        m_bootPart = RandomBytes(300001, 6); // plain, not a whole number of sectors
        m_systemSparse = MakeSparse(
            4096, {{0xCAC1, 40, 0}, {0xCAC3, 100, 0}, {0xCAC2, 16, 0x5AA55AA5u}, {0xCAC1, 5, 0}}, 7,
            &m_systemExpanded);
        WriteFile(HomePath("mbr.fex"), m_mbr);
        WriteFile(HomePath("dlinfo.fex"),
                  MakeDlinfo({{"boot", "BOOT_FEX00000000"}, {"system", "SYSTEM_FEX000000"}}));
        m_data = RandomBytes(7000, 8);
        WriteFile(HomePath("thisdata.fex"), m_data);

        vorlane::image::Writer w;
        w.AddData("12345678", "TOC0_00000000000", m_toc0);
        w.AddData("12345678", "1234567890BOOT_0", m_boot0);
        w.AddData("12345678", "BOOTPKG-00000000", m_package);
        w.AddData("12345678", "1234567890___MBR", m_mbr);
        w.AddData("RFSFAT16", "BOOT_FEX00000000", m_bootPart);
        w.AddData("RFSFAT16", "SYSTEM_FEX000000", m_systemSparse);
        std::string error;
        ASSERT_TRUE(w.Write(HomePath("test.img"), 2, &error)) << error;
        m_imageBytes = ReadFile(HomePath("test.img"));
    }
    void TearDown() override {
        unsetenv("VORLANE_CODEPAGE");
        VorlaneTest::TearDown();
    }

    static std::string Step(const char* name, const char* sub, uint32_t start) {
        std::string s = std::string("[") + name + "]\nmain = 12345678\nsub = " + sub +
                        "\nstart = " + std::to_string(start) + "\nsectors = 0\ntype = 1\n";
        for (int i = 0; i < 8; ++i)
            s += "param" + std::to_string(i) + " = 0\n";
        return s + "commen = " + name + "\ncommchs = " + name + "\n\n";
    }
    void WriteScript(char drive, const std::string& mode) {
        WriteFile(HomePath(std::string("script.cfg") + drive),
                  "[process]\nversion = 300\nmode = " + mode +
                      "\nstartpos = " + std::to_string(kDataStartProduct) + "\n\n" +
                      Step("toc0", "TOC0_00000000000", 16) +
                      Step("bootpkg", "BOOTPKG-00000000", 32800) +
                      "[card_boot]\nstart = " + std::to_string(kTable) + "\n");
    }
    void Prepare(CardRun& run, char drive) {
        MakeVirtualCard(drive, 64ull << 20);
        run.window = VpCreateWindow(CardRun::Proc, &run);
        ToolParam& p = run.param;
        p.version = TOOLPARAM_VERSION;
        p.size = sizeof(ToolParam);
        p.magic = TOOLPARAM_MAGIC;
        p.burnMode = 2;
        std::snprintf(p.workPath, sizeof p.workPath, "%s/%c", m_home.c_str(), drive);
        std::snprintf(p.imagePath, sizeof p.imagePath, "%s", HomePath("test.img").c_str());
        std::snprintf(p.scriptPath, sizeof p.scriptPath, "%s/script.cfg%c", m_home.c_str(), drive);
        p.drive = drive;
        p.notifyWindow = run.window;
        const char* ids[] = {VORLANE_IID_CHECKSUM,      VORLANE_IID_DECODER64,
                             VORLANE_IID_CARD_DEVICE,   VORLANE_IID_OSTRAND,
                             VORLANE_IID_CONFIG_PARSER, VORLANE_IID_SUM};
        void* tables[] = {m_crc, m_decoder, m_device, g_unused, g_unused, nullptr};
        for (int i = 0; i < 6; ++i) {
            std::memcpy(run.entries[i].id, ids[i], std::strlen(ids[i]));
            run.entries[i].table = tables[i];
        }
        p.interfaces = run.entries;
        p.interfaceCount = 6;
    }
    std::vector<uint8_t> CardFile(char drive) {
        return ReadFile(m_cards + "/" + std::string(1, drive) + ".card");
    }
    static std::vector<uint8_t> Padded(std::vector<uint8_t> b) {
        b.resize((b.size() + 511) / 512 * 512, 0);
        return b;
    }

    // The four table copies: identical, each with its CRC-32.
    static std::vector<uint8_t> CheckTableCopies(const std::vector<uint8_t>& card) {
        std::vector<uint8_t> first = CardBytes(card, kTable, 16384);
        for (int k = 0; k < 4; ++k) {
            std::vector<uint8_t> copy = CardBytes(card, kTable + 32 * k, 16384);
            EXPECT_EQ(copy, first) << "copy " << k;
            EXPECT_EQ(GetLE32(copy.data()), Crc32(copy.data() + 4, 16380)) << "copy " << k;
        }
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&first[8]), 8), "qelvo411");
        return first;
    }
    static std::string PartName(const std::vector<uint8_t>& table, int i) {
        const char* p = reinterpret_cast<const char*>(&table[32 + 128 * i + 32]);
        return std::string(p, strnlen(p, 16));
    }
    void CheckMagic(const std::vector<uint8_t>& card, uint16_t count, uint16_t mode) {
        std::vector<uint8_t> magic = CardBytes(card, 14, 1024);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(magic.data()), 16), "VORLANE_CARD_IMG");
        EXPECT_EQ(GetLE32(&magic[16]), 0x00200100u);
        EXPECT_EQ(GetLE32(&magic[20]), uint32_t(count) | uint32_t(mode) << 16);
        EXPECT_EQ(std::vector<uint8_t>(magic.begin() + 24, magic.end()),
                  std::vector<uint8_t>(1000, 0));
    }

    const SarnetTable* m_sarnet = nullptr;
    void *m_crc = nullptr, *m_decoder = nullptr, *m_device = nullptr;
    std::vector<uint8_t> m_toc0, m_boot0, m_uboot, m_package, m_mbr, m_bootPart, m_systemSparse,
        m_systemExpanded, m_data, m_imageBytes;
};

TEST_F(SarnetCardRun, ProductCard) {
    CardRun run;
    Prepare(run, 'E');
    WriteScript('E', "product");
    ASSERT_EQ(m_sarnet->SarnetEntry(&run.param), 0);
    ASSERT_FALSE(run.notes.empty());
    EXPECT_EQ(run.notes.back().first, NotifyDone);
    EXPECT_EQ(run.param.progress, 96); // 12 additions of 100 / (2 x 6)
    const std::vector<uint8_t> card = CardFile('E');

    // TOC0 at 16: work mode 0x11 at 1172 (three items), header sum.
    std::vector<uint8_t> toc0 = CardBytes(card, 16, m_toc0.size());
    EXPECT_EQ(GetLE32(&toc0[1172]), 0x11u);
    EXPECT_EQ(GetLE32(&toc0[12]), ExpectedSum(toc0.data(), GetLE32(&toc0[28]), 12));
    // The plain boot0 copy at 256 with bit 31 of its word at 204.
    std::vector<uint8_t> boot0 = CardBytes(card, 256, m_boot0.size());
    EXPECT_EQ(GetLE32(&boot0[204]), GetLE32(&m_boot0[204]) | 0x80000000u);
    EXPECT_EQ(GetLE32(&boot0[12]), ExpectedSum(boot0.data(), GetLE32(&boot0[16]), 12));
    // The boot package: u-boot patched, both sums.
    std::vector<uint8_t> pkg = CardBytes(card, 32800, m_package.size());
    const uint32_t ubootAt = GetLE32(&pkg[64 + 368 + 64]);
    EXPECT_EQ(GetLE32(&pkg[ubootAt + 224]), 0x11u);
    EXPECT_EQ(GetLE32(&pkg[ubootAt + 12]),
              ExpectedSum(&pkg[ubootAt], GetLE32(&pkg[ubootAt + 20]), 12));
    EXPECT_EQ(GetLE32(&pkg[20]), ExpectedSum(pkg.data(), GetLE32(&pkg[36]), 20));
    // The table: the partition behind the first one is named "thisfile".
    std::vector<uint8_t> table = CheckTableCopies(card);
    EXPECT_EQ(PartName(table, 0), "boot");
    EXPECT_EQ(PartName(table, 1), "thisfile");
    EXPECT_EQ(PartName(table, 2), "UDISK");
    // The first partition's data, the image file behind it, the data file.
    EXPECT_EQ(CardBytes(card, kTable + kBootStart, Padded(m_bootPart).size()), Padded(m_bootPart));
    EXPECT_EQ(CardBytes(card, kTable + kBootStart + kBootLength, Padded(m_imageBytes).size()),
              Padded(m_imageBytes));
    EXPECT_EQ(CardBytes(card, kDataStartProduct, Padded(m_data).size()), Padded(m_data));
    // toc0, bootpkg, table, first partition, image file, data file.
    CheckMagic(card, 6, 1);
}

TEST_F(SarnetCardRun, StartupCard) {
    CardRun run;
    Prepare(run, 'E');
    WriteScript('E', "bromrun");
    ASSERT_EQ(m_sarnet->SarnetEntry(&run.param), 0);
    const std::vector<uint8_t> card = CardFile('E');
    // The boot loaders keep the mode they carry; their sums stay right.
    EXPECT_EQ(CardBytes(card, 16, m_toc0.size()), m_toc0);
    EXPECT_EQ(CardBytes(card, 32800, m_package.size()), m_package);
    EXPECT_EQ(CardBytes(card, 256, m_boot0.size()), std::vector<uint8_t>(m_boot0.size(), 0));
    // The image's own table, every partition, the data file behind the last one.
    std::vector<uint8_t> table = CheckTableCopies(card);
    EXPECT_EQ(table, std::vector<uint8_t>(m_mbr.begin(), m_mbr.begin() + 16384));
    EXPECT_EQ(CardBytes(card, kTable + kBootStart, Padded(m_bootPart).size()), Padded(m_bootPart));
    EXPECT_EQ(CardBytes(card, kTable + kSystemStart, m_systemExpanded.size()), m_systemExpanded);
    EXPECT_EQ(CardBytes(card, kTable + kUdiskStart, Padded(m_data).size()), Padded(m_data));
    if (HaveTool("simg2img")) {
        WriteFile(HomePath("system.simg"), m_systemSparse);
        ASSERT_EQ(RunCommand("simg2img " + HomePath("system.simg") + " " + HomePath("system.raw")),
                  0);
        EXPECT_EQ(CardBytes(card, kTable + kSystemStart, m_systemExpanded.size()),
                  ReadFile(HomePath("system.raw")));
    }
    // toc0, bootpkg, table, two partitions, data file.
    CheckMagic(card, 6, 2);
}

// Cards written at the same time on several threads equal a card written alone.
TEST_F(SarnetCardRun, ConcurrentProductRunsGiveTheSameCards) {
    std::vector<uint8_t> alone;
    {
        CardRun run;
        Prepare(run, 'E');
        WriteScript('E', "product");
        ASSERT_EQ(m_sarnet->SarnetEntry(&run.param), 0);
        alone = CardFile('E');
    }
    const char drives[] = {'E', 'F', 'G'};
    CardRun runs[3];
    for (int i = 0; i < 3; ++i) {
        Prepare(runs[i], drives[i]); // a fresh card
        WriteScript(drives[i], "product");
    }
    int results[3] = {-7, -7, -7};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&, i] { results[i] = m_sarnet->SarnetEntry(&runs[i].param); });
    for (std::thread& t : threads)
        t.join();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(results[i], 0) << drives[i];
        EXPECT_TRUE(CardFile(drives[i]) == alone) << drives[i];
    }
}

} // namespace
