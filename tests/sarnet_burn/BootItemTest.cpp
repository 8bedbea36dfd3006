// Boot-loader patching, header sums and the magic block of the card tool.
#include "BurnFakes.h"
#include "Fixtures.h"
#include "SarnetInternal.h"

#include <unistd.h>

using namespace vorlane::test;
using namespace vorlane::test::burn;
using namespace vorlane::sarnet;

namespace {

class SarnetBootTest : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        ChooseMessageTable(1252);
    }
    int Patch(std::vector<uint8_t>& b, const char* sub, int burnMode, int selection) {
        SetWorkModeSelection(selection);
        void* handle = nullptr;
        return PatchBootItem(b.data(), uint32_t(b.size()), sub, burnMode, nullptr, nullptr, nullptr,
                             &handle, nullptr);
    }
};

TEST_F(SarnetBootTest, UbootWorkModeAndSumByBurnModeAndSelection) {
    struct Case {
        int burnMode, selection;
        uint32_t size, workMode;
        bool wholeItemSum;
    } cases[] = {
        {1, 0, 4096, 0x11, false}, {1, 2, 4096, 0x30, false}, {1, 1, 4096, 0x22, false},
        {2, 0, 1030, 0x11, true},  {2, 2, 1030, 0x22, true}, // mode 2 leaves burnkey's value
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> b = MakeUboot(c.size, 0x22, 7);
        if (c.wholeItemSum) PutLE32(b, 20, 64); // this variant ignores the length field
        ASSERT_EQ(Patch(b, "UBOOT_0000000000", c.burnMode, c.selection), 0);
        EXPECT_EQ(Le32(b, 224), c.workMode) << c.burnMode << "/" << c.selection;
        const uint32_t words = c.wholeItemSum ? c.size : Le32(b, 20);
        EXPECT_EQ(Le32(b, 12), ExpectedSum(b.data(), words, 12))
            << c.burnMode << "/" << c.selection;
    }
}

TEST_F(SarnetBootTest, Toc0WorkModeOffsetFollowsItemCount) {
    for (uint32_t count : {2u, 3u}) {
        std::vector<uint8_t> b = MakeToc0(2048, count, 11);
        ASSERT_EQ(Patch(b, "TOC0_00000000000", 1, 0), 0);
        EXPECT_EQ(Le32(b, count == 3 ? 1172 : 1140), 0x11u);
        EXPECT_EQ(Le32(b, count == 3 ? 1140 : 1172), 0x22u);
        EXPECT_EQ(Le32(b, 12), ExpectedSum(b.data(), 2048, 12));
    }
    // bromrun: only the sum is recomputed, which gives the stored value again.
    std::vector<uint8_t> b = MakeToc0(2048, 3, 12);
    const std::vector<uint8_t> before = b;
    ASSERT_EQ(Patch(b, "TOC0_SDCARD00000", 2, 1), 0);
    EXPECT_EQ(b, before);
    EXPECT_TRUE(m_capture.DebugContains("use default card_work_mode"));
}

TEST_F(SarnetBootTest, BootPackagePatchesExactlyTheUbootEntry) {
    std::vector<uint8_t> spl = MakeUboot(1024, 0x22, 1); // named u-boot-spl: must not match
    std::vector<uint8_t> uboot = MakeUboot(2048, 0x22, 2);
    std::vector<uint8_t> b = MakeBootPackage({{"scp", RandomBytes(700, 3)},
                                              {"u-boot-spl", spl},
                                              {"u-boot", uboot},
                                              {"dtb", RandomBytes(900, 4)}});
    const uint32_t splAt = Le32(b, 64 + 368 + 64), ubootAt = Le32(b, 64 + 2 * 368 + 64);
    ASSERT_EQ(Patch(b, "BOOTPKG-00000000", 2, 2), 0);
    EXPECT_EQ(Le32(b, ubootAt + 224), 0x30u);
    EXPECT_EQ(Le32(b, splAt + 224), 0x22u);
    EXPECT_EQ(Le32(b, ubootAt + 12), ExpectedSum(b.data() + ubootAt, 2048, 12));
    // The package sum covers the patched u-boot.
    EXPECT_EQ(Le32(b, 20), ExpectedSum(b.data(), uint32_t(b.size()), 20));
}

TEST_F(SarnetBootTest, BootPackageErrorsAreMinusOne) {
    std::vector<uint8_t> noUboot = MakeBootPackage({{"scp", RandomBytes(600, 5)}});
    EXPECT_EQ(Patch(noUboot, "BOOTPKG-00000000", 2, 0), -1);
    EXPECT_TRUE(m_capture.DebugContains("error:can't find uboot"));
    std::vector<uint8_t> bad = MakeUboot(1024, 0x22, 6);
    std::memcpy(bad.data() + 4, "uboot2\0", 7);
    std::vector<uint8_t> pkg = MakeBootPackage({{"u-boot", bad}});
    EXPECT_EQ(Patch(pkg, "BOOTPKG-00000000", 2, 0), -1);
    EXPECT_TRUE(m_capture.DebugContains("uboot magic is error"));
}

// Headers that do not fit their item: refused with a code, nothing touched
// outside the buffer (the buffers are exactly the item's size).
TEST_F(SarnetBootTest, BrokenBootHeadersFailWithoutLeavingTheBuffer) {
    std::vector<uint8_t> pkgFar = MakeBootPackage({{"u-boot", MakeUboot(1024, 0x22, 8)}});
    PutLE32(pkgFar, 64 + 64, uint32_t(pkgFar.size() - 100)); // u-boot runs past the end
    std::vector<uint8_t> pkgCount = MakeBootPackage({{"scp", RandomBytes(600, 9)}});
    PutLE32(pkgCount, 32, 1000); // more entries than the package holds
    std::vector<uint8_t> pkgLength = MakeBootPackage({{"u-boot", MakeUboot(1024, 0x22, 10)}});
    PutLE32(pkgLength, 36, uint32_t(pkgLength.size() + 4096));
    std::vector<uint8_t> ubootLength = MakeUboot(1024, 0x22, 13);
    PutLE32(ubootLength, 20, 1 << 20);
    struct Case {
        const char* what;
        std::vector<uint8_t> item;
        const char* sub;
        int burnMode, selection, code;
    } cases[] = {
        {"TOC0 of 1000 bytes", MakeToc0(1000, 3, 14), "TOC0_00000000000", 2, 0, 4501},
        {"TOC0 shorter than its header", std::vector<uint8_t>(20, 0), "TOC0_SDCARD00000", 1, 1,
         4501},
        {"u-boot of 100 bytes", RandomBytes(100, 15), "UBOOT_0000000000", 1, 0, 4501},
        {"u-boot length field past the end", ubootLength, "UBOOT_0000000000", 1, 0, 4502},
        {"u-boot entry past the package", pkgFar, "BOOTPKG-00000000", 2, 0, 4503},
        {"entry table past the package", pkgCount, "BOOTPKG-00000000", 2, 0, 4503},
        {"package length past the end", pkgLength, "BOOTPKG-00000000", 2, 0, 4502},
        {"package of 40 bytes", std::vector<uint8_t>(40, 0), "BOOTPKG-00000000", 2, 0, 4501},
    };
    for (Case& c : cases)
        EXPECT_EQ(Patch(c.item, c.sub, c.burnMode, c.selection), c.code) << c.what;
}

TEST_F(SarnetBootTest, HeaderSumLeavesUnalignedLengthsAlone) {
    std::vector<uint8_t> b = RandomBytes(256, 16);
    PutLE32(b, 28, 130);
    const std::vector<uint8_t> before = b;
    EXPECT_EQ(HeaderSum(b.data(), 256, 28, 12), 0);
    EXPECT_EQ(b, before);
    PutLE32(b, 28, 128);
    EXPECT_EQ(HeaderSum(b.data(), 256, 28, 12), 0);
    EXPECT_EQ(Le32(b, 12), ExpectedSum(b.data(), 128, 12));
}

// ---- Magic block -------------------------------------------------------------

class SarnetMagicTest : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        ChooseMessageTable(1252);
        m_image = HomePath("image.img");
        WriteFile(m_image, RandomBytes(4096, 1));
        RegisterImage(m_image, {});
        m_card = MakeVirtualCard('M', 4 << 20);
    }
    void TearDown() override {
        UnregisterImage(m_image);
        VorlaneTest::TearDown();
    }
    std::string m_image, m_card;
};

TEST_F(SarnetMagicTest, BlockCarriesCountModeAndZeroRecords) {
    Block block('M', 2, m_home, m_image);
    for (int i = 0; i < 10; ++i) {
        block.items.push_back(MakeItem("12345678", "PART", 100 + 10 * i, 1, "part"));
        block.items.back().length = 10 * 512;
    }
    std::vector<uint8_t> old = RandomBytes(16384, 2);
    WriteFile(m_card, old); // the card had other bytes around sector 14
    ASSERT_EQ(truncate(m_card.c_str(), 4 << 20), 0);
    block.Attach(ScriptModeBromrun);
    ASSERT_EQ(WriteMagic(&block.param), 0);
    std::vector<uint8_t> card = ReadFile(m_card);
    std::vector<uint8_t> magic = CardBytes(card, 14, 1024);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(magic.data()), 16), "VORLANE_CARD_IMG");
    EXPECT_EQ(GetLE32(&magic[16]), 0x00200100u);
    EXPECT_EQ(GetLE32(&magic[20]), 10u | uint32_t(ScriptModeBromrun) << 16);
    EXPECT_EQ(std::vector<uint8_t>(magic.begin() + 24, magic.end()), std::vector<uint8_t>(1000, 0));
    EXPECT_EQ(CardBytes(card, 16, 8192), std::vector<uint8_t>(old.begin() + 8192, old.end()));
    EXPECT_EQ(CardBytes(card, 0, 7168), std::vector<uint8_t>(old.begin(), old.begin() + 7168));
    EXPECT_EQ(block.param.progress, 50); // 10 additions of 5
    EXPECT_TRUE(block.HasText("Magic Complete"));
    std::vector<WriteCall> w = Writes('M');
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].first, 14u);
    EXPECT_EQ(w[0].count, 2u);
    EXPECT_EQ(w[0].bytes, 1024u);
}

TEST_F(SarnetMagicTest, LayoutRecheckRefusesOverlapUnlessBehindDiskfs) {
    for (bool diskfs : {false, true}) {
        Block block('M', 2, m_home, m_image);
        block.items.push_back(MakeItem("12345678", "A", 100, 1, "A"));
        block.items.push_back(MakeItem("12345678", diskfs ? "DISKFS_FEX000000" : "B", 200, 1, "B"));
        block.items.push_back(MakeItem("12345678", "C", 210, 1, "C")); // inside B
        block.items[0].length = 100 * 512;
        block.items[1].length = 20 * 512;
        block.Attach(ScriptModeBromrun);
        const int r = WriteMagic(&block.param);
        if (diskfs) {
            EXPECT_EQ(r, 0);
            continue;
        }
        EXPECT_EQ(r, 813);
        EXPECT_TRUE(block.HasText("Check error: [C] startpos = 210, PreStep End = 220"));
        EXPECT_TRUE(block.HasText("Please Check the file cardscript.fex in the image."));
        EXPECT_TRUE(block.HasText("Please select the image file retry again."));
        ASSERT_FALSE(block.notes.empty());
        EXPECT_EQ(block.notes.back().code, NotifyMagicFailed);
        EXPECT_EQ(block.notes.back().message, "Magic Failed 813");
        EXPECT_TRUE(Writes('M').empty());
    }
}

TEST_F(SarnetMagicTest, MoreThanSixtyTwoItemsAreRefused) {
    Block block('M', 2, m_home, m_image);
    for (int i = 0; i < 63; ++i)
        block.items.push_back(MakeItem("12345678", "P", i, 1, "p"));
    block.Attach(ScriptModeBromrun);
    EXPECT_EQ(WriteMagic(&block.param), 4520);
    EXPECT_TRUE(Writes('M').empty());
    // The items pass refuses such a script before it writes anything.
    EXPECT_EQ(BurnItems(&block.param), 4521);
    EXPECT_TRUE(Writes('M').empty());
    block.items.resize(62);
    block.Attach(ScriptModeBromrun);
    EXPECT_EQ(WriteMagic(&block.param), 0);
    EXPECT_EQ(GetLE32(CardBytes(ReadFile(m_card), 14, 32).data() + 20) & 0xFFFF, 62u);
}

TEST_F(SarnetMagicTest, ParameterChecks) {
    EXPECT_EQ(WriteMagic(nullptr), 744);
    Block block('M', 2, m_home, m_image);
    EXPECT_EQ(WriteMagic(&block.param), 747);
    block.Attach(ScriptModeBromrun);
    block.param.imagePath[0] = '\0';
    EXPECT_EQ(WriteMagic(&block.param), 785);
    Block noCard('M', 2, m_home, m_image, FakeDecoder(), nullptr);
    noCard.Attach(ScriptModeBromrun);
    EXPECT_EQ(WriteMagic(&noCard.param), 906);
    Block noDecoder('M', 2, m_home, m_image, nullptr);
    noDecoder.Attach(ScriptModeBromrun);
    EXPECT_EQ(WriteMagic(&noDecoder.param), 751);
}

} // namespace
