// The items pass and its writers, checked from the card bytes and the log
// of WriteSectors calls.
#include "BurnFakes.h"
#include "Fixtures.h"
#include "SarnetInternal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

using namespace vorlane::test;
using namespace vorlane::test::burn;
using namespace vorlane::sarnet;

namespace {

class SarnetItemsTest : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        ChooseMessageTable(1252);
        m_image = HomePath("image.img");
        m_imageBytes = RandomBytes(200000, 99);
        WriteFile(m_image, m_imageBytes);
        m_card = MakeVirtualCard('E', 64ull << 20);
    }
    void TearDown() override {
        UnregisterImage(m_image);
        VorlaneTest::TearDown();
    }
    std::vector<uint8_t> Card() const { return ReadFile(m_card); }
    std::string m_image, m_card;
    std::vector<uint8_t> m_imageBytes;
};

// Plain streamed copy: 64 KiB, then single sectors, then a zero-padded tail.
TEST_F(SarnetItemsTest, PlainItemOf70000BytesInBothBurnModes) {
    const std::vector<uint8_t> data = RandomBytes(70000, 1);
    RegisterImage(m_image, {{"RFSFAT16", "SYSTEM_FEX000000", data}});
    for (int burnMode : {1, 2}) {
        ASSERT_EQ(truncate(m_card.c_str(), 0), 0);
        ASSERT_EQ(truncate(m_card.c_str(), 64 << 20), 0);
        Block block('E', burnMode, m_home, m_image);
        block.items.push_back(MakeItem("RFSFAT16", "SYSTEM_FEX000000", 1000, 1, "system"));
        block.Attach(ScriptModeBromrun);
        ASSERT_EQ(BurnItems(&block.param), 0) << burnMode;
        std::vector<WriteCall> w = Writes('E');
        ASSERT_EQ(w.size(), 10u);
        EXPECT_EQ(w[0].first, 1000u);
        EXPECT_EQ(w[0].count, 128u);
        EXPECT_EQ(w[0].bytes, 65536u);
        for (int i = 1; i < 10; ++i) {
            EXPECT_EQ(w[i].first, uint32_t(1127 + i));
            EXPECT_EQ(w[i].count, 1u);
            EXPECT_EQ(w[i].bytes, 512u);
        }
        std::vector<uint8_t> expected = data;
        expected.resize(137 * 512, 0); // the last sector is zero-padded
        EXPECT_EQ(CardBytes(Card(), 1000, expected.size()), expected);
        const ScriptItem& item = block.items[0];
        if (burnMode == 2) {
            EXPECT_EQ(item.length, 70000u);
            EXPECT_EQ(item.FileCRC, Crc32(data.data(), data.size()));
        } else {
            EXPECT_EQ(item.length, 0u);
            EXPECT_EQ(item.FileCRC, 0u);
        }
        EXPECT_TRUE(block.HasText("[system]Burn Sucess"));
    }
    // Opened twice in burn mode 2 (sparse probe, then the plain copy), once in mode 1.
    EXPECT_EQ(OpenCount(m_image, "RFSFAT16", "SYSTEM_FEX000000"), 3);
    EXPECT_EQ(OpenHandles(), 0);
}

TEST_F(SarnetItemsTest, SparseItemIsExpandedAndKeepsItsLength) {
    std::vector<uint8_t> expanded;
    const std::vector<uint8_t> sparse =
        MakeSparse(4096, {{0xCAC1, 3, 0}, {0xCAC3, 2, 0}, {0xCAC2, 1, 0xA1B2C3D4u}}, 5, &expanded);
    RegisterImage(m_image, {{"RFSFAT16", "ROOTFS_FEX000000", sparse}});
    Block block('E', 2, m_home, m_image);
    block.items.push_back(MakeItem("RFSFAT16", "ROOTFS_FEX000000", 2048, 1, "rootfs"));
    block.Attach(ScriptModeBromrun);
    ASSERT_EQ(BurnItems(&block.param), 0);
    EXPECT_EQ(block.items[0].length, 0u);
    EXPECT_EQ(block.items[0].FileCRC, 0u);
    EXPECT_EQ(CardBytes(Card(), 2048, expanded.size()), expanded);
    if (HaveTool("simg2img")) { // the fixture is a sparse image as the platform tools see it
        WriteFile(HomePath("s.simg"), sparse);
        ASSERT_EQ(RunCommand("simg2img " + HomePath("s.simg") + " " + HomePath("s.raw")), 0);
        EXPECT_EQ(ReadFile(HomePath("s.raw")), expanded);
    }
}

TEST_F(SarnetItemsTest, BootItemOf70000BytesIsWrittenWhole) {
    std::vector<uint8_t> uboot = MakeUboot(70000, 0x22, 3);
    RegisterImage(m_image, {{"12345678", "UBOOT_0000000000", uboot}});
    for (int burnMode : {1, 2}) {
        Block block('E', burnMode, m_home, m_image);
        block.items.push_back(MakeItem("12345678", "UBOOT_0000000000", 3000, 1, "uboot"));
        block.Attach(ScriptModeBromrun);
        ASSERT_EQ(BurnItems(&block.param), 0);
        std::vector<WriteCall> w = Writes('E');
        ASSERT_EQ(w.size(), 2u);
        EXPECT_EQ(w[0].first, 3000u);
        EXPECT_EQ(w[0].count, 128u);
        EXPECT_EQ(w[1].first, 3128u);
        EXPECT_EQ(w[1].count, 8u);
        EXPECT_EQ(w[1].bytes, 4464u);
        EXPECT_EQ(CardBytes(Card(), 3000, 70000)[224], 0x22); // bromrun keeps the mode
        EXPECT_EQ(block.items[0].length, burnMode == 2 ? 70000u : 0u);
        EXPECT_EQ(block.items[0].FileCRC, 0u); // no CRC for boot items
    }
}

TEST_F(SarnetItemsTest, BootItemFailureOfTheTailIsReported) {
    RegisterImage(m_image, {{"12345678", "UBOOT_0000000000", MakeUboot(70000, 0x22, 3)}});
    Block block('E', 1, m_home, m_image);
    block.items.push_back(MakeItem("12345678", "UBOOT_0000000000", 3000, 1, "uboot"));
    block.Attach(ScriptModeBromrun);
    FailWritesAt('E', 3128, 77);
    EXPECT_EQ(BurnItems(&block.param), 2211);
    EXPECT_EQ(OpenHandles(), 0);
}

// Product selection with burn mode 2: TOC0 patched, plain boot0 copied to 256.
TEST_F(SarnetItemsTest, Toc0InProductModeWritesTheBoot0Copy) {
    for (uint32_t boot0Size : {49152u, 98304u}) {
        const std::vector<uint8_t> toc0 = MakeToc0(8192, 3, 20);
        const std::vector<uint8_t> boot0 = MakeBoot0(boot0Size, 21);
        RegisterImage(m_image, {{"12345678", "TOC0_00000000000", toc0},
                                {"12345678", "1234567890BOOT_0", boot0}});
        Block block('E', 2, m_home, m_image);
        block.items.push_back(MakeItem("12345678", "TOC0_00000000000", 16, 1, "toc0"));
        block.Attach(ScriptModeProduct);
        ASSERT_EQ(BurnItems(&block.param), 0) << boot0Size;
        std::vector<WriteCall> w = Writes('E');
        if (boot0Size == 49152) {
            ASSERT_EQ(w.size(), 2u);
            EXPECT_EQ(w[0].first, 256u);
            EXPECT_EQ(w[0].count, 96u);
            EXPECT_EQ(w[0].bytes, 49152u);
        } else {
            ASSERT_EQ(w.size(), 3u);
            EXPECT_EQ(w[0].first, 256u);
            EXPECT_EQ(w[0].count, 128u);
            EXPECT_EQ(w[1].first, 384u);
            EXPECT_EQ(w[1].count, 64u);
            EXPECT_EQ(w[1].bytes, 32768u);
        }
        EXPECT_EQ(w.back().first, 16u); // then the TOC0 item itself
        const std::vector<uint8_t> card = Card();
        std::vector<uint8_t> onCard = CardBytes(card, 256, boot0Size);
        EXPECT_EQ(GetLE32(&onCard[204]), 0x80000005u);
        EXPECT_EQ(GetLE32(&onCard[12]), ExpectedSum(onCard.data(), boot0Size, 12));
        EXPECT_EQ(std::vector<uint8_t>(onCard.begin() + 208, onCard.end()),
                  std::vector<uint8_t>(boot0.begin() + 208, boot0.end()));
        std::vector<uint8_t> t = CardBytes(card, 16, 8192);
        EXPECT_EQ(GetLE32(&t[1172]), 0x11u);
        EXPECT_EQ(GetLE32(&t[12]), ExpectedSum(t.data(), 8192, 12));
        EXPECT_EQ(OpenHandles(), 0);
    }
}

TEST_F(SarnetItemsTest, Toc0SdcardReplacesTheOtherToc0) {
    const std::vector<uint8_t> plain = MakeToc0(4096, 2, 30), sdcard = MakeToc0(4096, 2, 31);
    RegisterImage(m_image, {{"12345678", "TOC0_00000000000", plain},
                            {"12345678", "TOC0_SDCARD00000", sdcard}});
    Block block('E', 1, m_home, m_image);
    block.items.push_back(MakeItem("12345678", "TOC0_00000000000", 16, 1, "toc0"));
    block.items.push_back(MakeItem("12345678", "TOC0_SDCARD00000", 16, 1, "toc0 card"));
    block.Attach(ScriptModeBromrun);
    ASSERT_EQ(BurnItems(&block.param), 0);
    EXPECT_EQ(OpenCount(m_image, "12345678", "TOC0_00000000000"), 0);
    EXPECT_EQ(CardBytes(Card(), 16, 4096), sdcard);
    EXPECT_EQ(block.param.progress, 25); // the skipped item is not counted
}

TEST_F(SarnetItemsTest, StartCheckRefusesOverlapAndMovesTheDataFile) {
    RegisterImage(m_image, {{"RFSFAT16", "A", RandomBytes(1048576, 40)},
                            {"RFSFAT16", "B", RandomBytes(1000, 41)}});
    WriteFile(m_home + "/thisdata.fexE", RandomBytes(3000, 42));
    struct Case {
        const char* main;
        int32_t start;
        int result;
        int32_t startAfter;
    } cases[] = {
        {"RFSFAT16", 42000, 663, 42000}, // inside A (A ends at 43008)
        {"RFSFAT16", 43008, 0, 43008},   // right behind A
        {"thisdata", 42000, 0, 43008},   // the data file moves behind A
    };
    for (const Case& c : cases) {
        Block block('E', 2, m_home, m_image);
        block.items.push_back(MakeItem("RFSFAT16", "A", 40960, 1, "A part"));
        const bool data = std::string(c.main) == "thisdata";
        block.items.push_back(
            MakeItem(c.main, data ? "thisdata00000000" : "B", c.start, data ? 0 : 1, "B part"));
        block.Attach(ScriptModeBromrun);
        EXPECT_EQ(BurnItems(&block.param), c.result) << c.main << " " << c.start;
        EXPECT_EQ(block.items[1].start, c.startAfter);
        if (c.result == 663) {
            EXPECT_TRUE(block.HasText("Burn ([B part] strar pos = 42000 sec)Error."));
            EXPECT_TRUE(block.HasText("Start pos over the step[A part](start:40960(sec) + "
                                      "length:2048 (sec) = 43008(sec) > 42000 sec.\n"));
        }
    }
}

TEST_F(SarnetItemsTest, DataTypeRuleShowsItsBoxAndFails) {
    RegisterImage(m_image, {});
    struct Case {
        const char* main;
        int32_t type;
        const char* box;
        int code;
    } cases[] = {
        {"thisfile", 1, "DATA_TYPE_l1 Not Support", 1301},
        {"thisdata", 2, "DATA_TYPE_l2 Not Support", 1306},
        {"thisfile", 7, "Not Support", 1311},
        {"RFSFAT16", 0, "DATA_TYPE_RAW Not Support", 1320},
        {"12345678", 2, "DATA_TYPE_l2 Not Support", 1328},
        {"12345678", -1, "Not Support", 1333},
    };
    for (const Case& c : cases) {
        m_capture.Clear();
        Block block('E', 2, m_home, m_image);
        block.items.push_back(MakeItem(c.main, "X", 100, c.type, "x"));
        block.Attach(ScriptModeBromrun);
        EXPECT_EQ(BurnItems(&block.param), c.code) << c.main << " " << c.type;
        auto boxes = m_capture.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, c.box);
        EXPECT_EQ(boxes[0].caption, "Fail");
    }
    Block block('E', 3, m_home, m_image);
    block.items.push_back(MakeItem("RFSFAT16", "X", 100, 1, "x"));
    block.Attach(ScriptModeBromrun);
    EXPECT_EQ(BurnItems(&block.param), 1368);
}

TEST_F(SarnetItemsTest, DataFilePrefersThePerDriveFile) {
    RegisterImage(m_image, {});
    const std::vector<uint8_t> perDrive = RandomBytes(1300, 50), shared = RandomBytes(700, 51);
    struct Case {
        bool perDrive, shared;
        bool emptyShared;
        int result;
    } cases[] = {{true, true, false, 0},
                 {false, true, false, 0},
                 {false, false, false, 3233},
                 {false, true, true, 3225}};
    for (const Case& c : cases) {
        std::remove((m_home + "/thisdata.fexE").c_str());
        std::remove((m_home + "/thisdata.fex").c_str());
        if (c.perDrive) WriteFile(m_home + "/thisdata.fexE", perDrive);
        if (c.shared)
            WriteFile(m_home + "/thisdata.fex", c.emptyShared ? std::vector<uint8_t>() : shared);
        Block block('E', 1, m_home, m_image);
        block.items.push_back(MakeItem("thisdata", "thisdata00000000", 5000, 0, "DATA File"));
        block.Attach(ScriptModeBromrun);
        EXPECT_EQ(BurnItems(&block.param), c.result);
        if (c.result != 0) {
            EXPECT_TRUE(block.HasText("[DATA File]Burn Fail"));
            continue;
        }
        const std::vector<uint8_t>& src = c.perDrive ? perDrive : shared;
        std::vector<uint8_t> expected = src;
        expected.resize((src.size() + 511) / 512 * 512, 0);
        EXPECT_EQ(CardBytes(Card(), 5000, expected.size()), expected);
    }
}

TEST_F(SarnetItemsTest, DataFileReturnsTheWriteError) {
    RegisterImage(m_image, {});
    WriteFile(m_home + "/thisdata.fex", RandomBytes(70000, 52));
    Block block('E', 2, m_home, m_image);
    block.items.push_back(MakeItem("thisdata", "thisdata00000000", 5000, 0, "DATA File"));
    block.Attach(ScriptModeBromrun);
    FailWritesAt('E', 5128, 1234);
    EXPECT_EQ(BurnItems(&block.param), 1234);
    EXPECT_TRUE(m_capture.DebugContains("Write DiskSector Failed 1234"));
}

TEST_F(SarnetItemsTest, ImageFileIsCopiedWhole) {
    RegisterImage(m_image, {});
    for (int burnMode : {1, 2}) {
        Block block('E', burnMode, m_home, m_image);
        block.items.push_back(MakeItem("thisfile", "1234567890123456", 9000, 0, "IMG File"));
        block.Attach(ScriptModeProduct);
        ASSERT_EQ(BurnItems(&block.param), 0);
        std::vector<uint8_t> expected = m_imageBytes;
        expected.resize((expected.size() + 511) / 512 * 512, 0);
        EXPECT_EQ(CardBytes(Card(), 9000, expected.size()), expected);
        EXPECT_EQ(block.items[0].length, burnMode == 2 ? m_imageBytes.size() : 0u);
        EXPECT_EQ(block.items[0].FileCRC, 0u);
    }
}

// Burn mode 1 counts the image file in 32 bits; a longer file is refused
// instead of being copied cut.
TEST_F(SarnetItemsTest, ImageFileOf4GiBNeedsBurnMode2) {
    const std::string big = HomePath("big.img");
    WriteFile(big, RandomBytes(512, 60));
    ASSERT_EQ(truncate(big.c_str(), (4ll << 30) + 4096), 0); // sparse
    RegisterImage(big, {});
    Block block('E', 1, m_home, big);
    block.items.push_back(MakeItem("thisfile", "1234567890123456", 9000, 0, "IMG File"));
    block.Attach(ScriptModeProduct);
    EXPECT_EQ(BurnItems(&block.param), 4530);
    EXPECT_TRUE(Writes('E').empty());
    UnregisterImage(big);
}

TEST_F(SarnetItemsTest, WriterFailureCodes) {
    const std::vector<uint8_t> data = RandomBytes(5000, 70);
    RegisterImage(m_image, {{"RFSFAT16", "P", data}, {"RFSFAT16", "EMPTY", {}}});
    struct Case {
        const char* what;
        int burnMode;
        const char* sub;
        bool noCard, noCrc;
        uint32_t failSector;
        int code;
    } cases[] = {
        {"mode 1 no card table", 1, "P", true, false, 0, 1930},
        {"mode 1 item missing", 1, "MISSING", false, false, 0, 1941},
        {"mode 1 empty item", 1, "EMPTY", false, false, 0, 2211},
        {"mode 1 write error", 1, "P", false, false, 700, 2211},
        {"mode 2 no checksum table", 2, "P", false, true, 0, 2254},
        {"mode 2 no card table", 2, "P", true, false, 0, 2258},
        {"mode 2 item missing", 2, "MISSING", false, false, 0, 2272},
        {"mode 2 empty item", 2, "EMPTY", false, false, 0, 2886},
        {"mode 2 write error", 2, "P", false, false, 705, 2886},
    };
    for (const Case& c : cases) {
        Block block('E', c.burnMode, m_home, m_image, FakeDecoder(),
                    c.noCard ? nullptr : FakeCardDevice(), c.noCrc ? nullptr : FakeChecksum());
        block.items.push_back(MakeItem("RFSFAT16", c.sub, 700, 1, "p"));
        block.Attach(ScriptModeBromrun);
        if (c.failSector) FailWritesAt('E', c.failSector, 99);
        EXPECT_EQ(BurnItems(&block.param), c.code) << c.what;
        EXPECT_EQ(OpenHandles(), 0) << c.what;
    }
    EXPECT_EQ(BurnItems(nullptr), 594);
    Block block('E', 2, m_home, m_image);
    EXPECT_EQ(BurnItems(&block.param), 597);
    block.Attach(ScriptModeBromrun);
    block.param.imagePath[0] = '\0';
    EXPECT_EQ(BurnItems(&block.param), 605);
}

// ---- The partition-table item and the table file ---------------------------

TEST_F(SarnetItemsTest, TableItemComesFromMbrNewInProductSelection) {
    const std::vector<uint8_t> imageTable = MakeMbr({{"boot", 32768, 65536}}, 4);
    std::vector<uint8_t> newTable = MakeMbr({{"thisfile", 1, 2}}, 4, 100);
    RegisterImage(m_image, {{"12345678", "1234567890___mbr", imageTable}});
    WriteFile(HomePath("mbr_new.fex"), newTable);
    for (int mode : {ScriptModeProduct, ScriptModeBromrun}) {
        ASSERT_EQ(truncate(m_card.c_str(), 0), 0);
        ASSERT_EQ(truncate(m_card.c_str(), 64 << 20), 0);
        Block block('E', 2, m_home, m_image);
        block.items.push_back(MakeItem("12345678", "1234567890___mbr", 40960, 1, "MBR"));
        block.Attach(uint16_t(mode));
        ASSERT_EQ(BurnItems(&block.param), 0);
        const std::vector<uint8_t> card = Card();
        const std::vector<uint8_t>& source = mode == ScriptModeProduct ? newTable : imageTable;
        const std::vector<uint8_t> copy(source.begin(), source.begin() + 16384);
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(CardBytes(card, 40960 + 32 * k, 16384), copy) << k;
        EXPECT_EQ(CardBytes(card, 40960 + 128, 512), std::vector<uint8_t>(512, 0));
        EXPECT_EQ(block.items[0].length, imageTable.size());
        if (mode == ScriptModeProduct) {
            std::vector<WriteCall> w = Writes('E');
            ASSERT_EQ(w.size(), 4u);
            for (int k = 0; k < 4; ++k) {
                EXPECT_EQ(w[k].first, uint32_t(40960 + 32 * k));
                EXPECT_EQ(w[k].count, 32u);
            }
            uint32_t crc = 0;
            for (int k = 0; k < 4; ++k)
                crc = Crc32(copy.data(), copy.size(), crc);
            EXPECT_EQ(block.items[0].FileCRC, crc);
        }
    }
}

TEST_F(SarnetItemsTest, TableItemFailsWithoutAUsableMbrNew) {
    RegisterImage(m_image, {{"12345678", "1234567890___mbr", MakeMbr({}, 4)}});
    for (size_t size : {size_t(0), size_t(16383), size_t(-1)}) {
        std::remove(HomePath("mbr_new.fex").c_str());
        if (size != size_t(-1)) WriteFile(HomePath("mbr_new.fex"), std::vector<uint8_t>(size, 1));
        Block block('E', 2, m_home, m_image);
        block.items.push_back(MakeItem("12345678", "1234567890___mbr", 40960, 1, "MBR"));
        block.Attach(ScriptModeProduct);
        EXPECT_EQ(BurnItems(&block.param), size == size_t(-1) ? 4510 : 4511);
        EXPECT_TRUE(Writes('E').empty());
        EXPECT_EQ(OpenHandles(), 0);
    }
}

class SarnetMbrUpdateTest : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        ChooseMessageTable(1252);
        WriteFile(HomePath("image.img"), RandomBytes(1024, 1));
    }
    std::vector<uint8_t> NewTable() { return ReadFile(HomePath("mbr_new.fex")); }
    static void ExpectCopiesWithCrc(const std::vector<uint8_t>& file, size_t copies) {
        ASSERT_EQ(file.size(), copies * 16384);
        for (size_t k = 0; k < copies; ++k) {
            EXPECT_EQ(GetLE32(&file[k * 16384]), Crc32(&file[k * 16384 + 4], 16380)) << k;
            EXPECT_TRUE(std::equal(file.begin(), file.begin() + 16384, file.begin() + k * 16384));
        }
    }
};

TEST_F(SarnetMbrUpdateTest, EmptyFirstPartitionRepacksTheTable) {
    const std::vector<uint8_t> mbr =
        MakeMbr({{"boot", 32768, 65536}, {"system", 98304, 1048576}, {"UDISK", 1146880, 0}}, 4);
    WriteFile(HomePath("mbr.fex"), mbr);
    Block block('E', 2, m_home, HomePath("image.img"));
    block.param.Extension = 100;
    block.param.res = 0x11;
    ASSERT_EQ(UpdateMbrFexFile(&block.param), 0);
    const std::vector<uint8_t> out = NewTable();
    ExpectCopiesWithCrc(out, 4);
    const uint32_t want[3][2] = {{32768, 204800}, {237568, 1048576}, {1286144, 0}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(GetLE32(&out[32 + 128 * i + 4]), want[i][0]) << i;
        EXPECT_EQ(GetLE32(&out[32 + 128 * i + 12]), want[i][1]) << i;
    }
    // Everything else of the copy is carried unchanged.
    std::vector<uint8_t> a(mbr.begin(), mbr.begin() + 16384), b(out.begin(), out.begin() + 16384);
    for (int i = 0; i < 3; ++i)
        for (int off : {4, 12})
            PutLE32(a, 32 + 128 * i + off, 0), PutLE32(b, 32 + 128 * i + off, 0);
    PutLE32(a, 0, 0);
    PutLE32(b, 0, 0);
    EXPECT_EQ(a, b);
    EXPECT_TRUE(m_capture.DebugContains("total cnt = 4, mbr back cnt = 4"));
}

TEST_F(SarnetMbrUpdateTest, ProductRenamesThePartitionBehindTheFirst) {
    const std::vector<uint8_t> mbr = MakeMbr(
        {{"boot", 100, 10}, {"system", 110, 10}, {"vendor", 120, 10}, {"UDISK", 130, 0}}, 2, 7232);
    WriteFile(HomePath("mbr.fex"), mbr); // 40000 bytes: two copies, the rest dropped
    Block block('E', 2, m_home, HomePath("image.img"));
    block.param.res = 2;
    ASSERT_EQ(UpdateMbrFexFile(&block.param), 0);
    std::vector<uint8_t> out = NewTable();
    ExpectCopiesWithCrc(out, 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&out[32 + 128 * 3 + 32]), 16),
              std::string("thisfile\0\0\0\0\0\0\0\0", 16));
    std::memset(&out[32 + 128 * 3 + 32], 0, 16);
    std::vector<uint8_t> in(mbr.begin(), mbr.begin() + 16384);
    std::memset(&in[32 + 128 * 3 + 32], 0, 16);
    PutLE32(in, 0, 0);
    PutLE32(out, 0, 0);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
}

TEST_F(SarnetMbrUpdateTest, FailuresLeaveNoUsableTable) {
    Block block('E', 2, m_home, HomePath("image.img"));
    block.param.res = 0;
    EXPECT_EQ(UpdateMbrFexFile(nullptr), 4182);
    EXPECT_EQ(UpdateMbrFexFile(&block.param), 4212); // no mbr.fex at all
    WriteFile(HomePath("mbr.fex"), std::vector<uint8_t>(16383, 0));
    WriteFile(HomePath("mbr_new.fex"), std::string("old"));
    EXPECT_EQ(UpdateMbrFexFile(&block.param), 4212);
    EXPECT_EQ(ReadFile(HomePath("mbr_new.fex")).size(), 3u); // unchanged
    WriteFile(HomePath("mbr.fex"), MakeMbr({{"a", 1, 1}}, 1));
    Block noCrc('E', 2, m_home, HomePath("image.img"), FakeDecoder(), FakeCardDevice(), nullptr);
    EXPECT_EQ(UpdateMbrFexFile(&noCrc.param), 4258);
    EXPECT_FALSE(FileExists(HomePath("mbr_new.fex")));
    Block badCrc('E', 2, m_home, HomePath("image.img"), FakeDecoder(), FakeCardDevice(),
                 FailingChecksum());
    EXPECT_EQ(UpdateMbrFexFile(&badCrc.param), 4265);
}

// Cards of one run update the shared table file while others read it: a
// reader sees the whole file or none, never a cut one.
TEST_F(SarnetMbrUpdateTest, ReadersNeverSeeAPartlyWrittenTable) {
    WriteFile(HomePath("mbr.fex"), MakeMbr({{"boot", 100, 10}, {"system", 110, 10}}, 4));
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, seen{0};
    std::thread reader([&] {
        while (!stop) {
            std::vector<uint8_t> f;
            FILE* file = std::fopen(HomePath("mbr_new.fex").c_str(), "rb");
            if (!file) continue;
            uint8_t chunk[16384];
            size_t n;
            while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
                f.insert(f.end(), chunk, chunk + n);
            std::fclose(file);
            ++seen;
            if (f.size() != 65536 || GetLE32(f.data()) != Crc32(f.data() + 4, 16380)) ++bad;
        }
    });
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 2; ++t)
        writers.emplace_back([&] {
            Block block('E', 2, m_home, HomePath("image.img"));
            block.param.res = 0;
            for (int i = 0; i < 100; ++i)
                if (UpdateMbrFexFile(&block.param) != 0) ++failures;
        });
    for (std::thread& w : writers)
        w.join();
    stop = true;
    reader.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(bad.load(), 0) << "of " << seen.load() << " reads";
    ExpectCopiesWithCrc(NewTable(), 4);
}

// Index and count fields beyond the 120-entry table must not move the edit
// outside the 16 KiB copy.
TEST_F(SarnetMbrUpdateTest, OutOfTableIndicesStayInsideTheCopy) {
    std::vector<uint8_t> mbr = MakeMbr({{"a", 10, 10}}, 1);
    PutLE32(mbr, 24, 500); // partition count above the capacity
    WriteFile(HomePath("mbr.fex"), mbr);
    Block block('E', 2, m_home, HomePath("image.img"));
    block.param.Extension = 1;
    block.param.res = 0x11;
    ASSERT_EQ(UpdateMbrFexFile(&block.param), 0);
    std::vector<uint8_t> out = NewTable();
    ExpectCopiesWithCrc(out, 1);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 32 + 128 * 120, out.end()),
              std::vector<uint8_t>(mbr.begin() + 32 + 128 * 120, mbr.end()));
    for (uint32_t res : {118u, 119u, 0xFFFFFFFFu}) {
        block.param.Extension = 0;
        block.param.res = res;
        EXPECT_EQ(UpdateMbrFexFile(&block.param), res == 118 ? 0 : 4540) << res;
    }
}

} // namespace

namespace {

// A decoder behind the 64-bit table may be the 32-bit one: only the low
// words of its sizes and counts carry meaning.
uint64_t NoisySize(void* image, void* item) {
    return FakeDecoder()->GetItemSize(image, item) | 0xDEAD000000000000ull;
}
uint64_t NoisyRead(void* image, void* item, void* buffer, uint32_t low, uint32_t high) {
    return FakeDecoder()->ReadItem(image, item, buffer, low, high) | 0xBEEF00000000ull;
}
uint64_t HugeSize(void*, void*) {
    return 0xF0000000u;
}

TEST_F(SarnetItemsTest, DecoderResultsAreTakenAsTheirLowWords) {
    const std::vector<uint8_t> data = RandomBytes(70000, 80);
    RegisterImage(m_image, {{"RFSFAT16", "P", data},
                            {"12345678", "UBOOT_0000000000", MakeUboot(5000, 0x22, 81)}});
    Decoder64Table noisy = *FakeDecoder();
    noisy.GetItemSize = NoisySize;
    noisy.ReadItem = NoisyRead;
    for (int burnMode : {1, 2}) {
        Block block('E', burnMode, m_home, m_image, &noisy);
        block.items.push_back(MakeItem("12345678", "UBOOT_0000000000", 100, 1, "uboot"));
        block.items.push_back(MakeItem("RFSFAT16", "P", 200, 1, "p"));
        block.Attach(ScriptModeBromrun);
        ASSERT_EQ(BurnItems(&block.param), 0) << burnMode;
        EXPECT_EQ(CardBytes(Card(), 200, 70000), data);
    }
}

// Boot items are held whole in memory: a size beyond the bound is refused
// before anything is allocated or read.
TEST_F(SarnetItemsTest, BootItemSizeIsBoundedBeforeAllocation) {
    RegisterImage(m_image, {{"12345678", "BOOTPKG-00000000", RandomBytes(4096, 82)}});
    Decoder64Table huge = *FakeDecoder();
    huge.GetItemSize = HugeSize;
    for (int burnMode : {1, 2}) {
        Block block('E', burnMode, m_home, m_image, &huge);
        block.items.push_back(MakeItem("12345678", "BOOTPKG-00000000", 100, 1, "pkg"));
        block.Attach(ScriptModeBromrun);
        EXPECT_EQ(BurnItems(&block.param), 4506) << burnMode;
        EXPECT_TRUE(Writes('E').empty());
        EXPECT_EQ(OpenHandles(), 0);
    }
}

TEST_F(SarnetItemsTest, BrokenBootItemsFailTheirItem) {
    std::vector<uint8_t> pkg = MakeBootPackage({{"scp", RandomBytes(600, 83)}});
    RegisterImage(m_image, {{"12345678", "TOC0_00000000000", MakeToc0(1000, 3, 84)},
                            {"12345678", "BOOTPKG-00000000", pkg},
                            {"12345678", "TOC0_SDCARD00000", MakeToc0(4096, 2, 85)}});
    struct Case {
        const char* sub;
        int burnMode;
        int code;
    } cases[] = {
        {"TOC0_00000000000", 2, 4501}, // 1000 bytes: no card_work_mode at 1172
        {"BOOTPKG-00000000", 1, -1},   // no u-boot entry
        {"BOOTPKG-00000000", 2, -1},
        {"TOC0_SDCARD00000", 2, 4504}, // the image has no plain boot0 for the copy
    };
    for (const Case& c : cases) {
        Block block('E', c.burnMode, m_home, m_image);
        block.items.push_back(MakeItem("12345678", c.sub, 100, 1, "boot"));
        block.Attach(ScriptModeProduct);
        EXPECT_EQ(BurnItems(&block.param), c.code) << c.sub << " " << c.burnMode;
        EXPECT_TRUE(Writes('E').empty()) << c.sub;
        EXPECT_EQ(OpenHandles(), 0) << c.sub;
    }
}

} // namespace
