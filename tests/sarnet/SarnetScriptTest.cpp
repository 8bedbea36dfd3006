// The script manager on scripts, partition tables and download lists built
// in the test: item lists of product and other modes, defaults, early ends
// with their message boxes, and the choice of the partition-table file.
#include "PartitionFixtures.h"
#include "SarnetInternal.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>

namespace vorlane::test {
namespace {

struct Step {
    std::string name, main, sub;
    int start, sectors;
    std::string omit; // key left out
};

std::string StepSection(const Step& s) {
    std::map<std::string, std::string> keys;
    std::string text = "[" + s.name + "]\n";
    auto key = [&](const std::string& k, const std::string& v) {
        if (k != s.omit) text += k + " = " + v + "\n";
    };
    key("main", s.main);
    key("sub", s.sub);
    key("start", std::to_string(s.start));
    key("sectors", std::to_string(s.sectors));
    key("type", "1");
    for (int i = 0; i < 8; ++i)
        key("param" + std::to_string(i), std::to_string(10 + i));
    key("commen", s.name + " en");
    key("commchs", s.name + " 中文");
    return text + "\n";
}

class SarnetScript : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        std::memset(&m_param, 0, sizeof m_param);
        m_param.scriptInfo = &m_info;
        m_info = {};
        m_scriptPath = HomePath("script.cfgE");
        WriteTables(DefaultPartitions(), DefaultDownloads());
    }
    void TearDown() override {
        std::free(m_info.items);
        VorlaneTest::TearDown();
    }
    void WriteTables(const std::vector<FixturePartition>& parts,
                     const std::vector<FixtureDownload>& downloads,
                     const std::string& mbrName = "mbr.fex") {
        WriteFile(HomePath(mbrName), BuildLargeTable(parts));
        WriteFile(HomePath("dlinfo.fex"), BuildLargeDownload(downloads));
    }
    void WriteScript(const std::string& process, const std::vector<Step>& steps,
                     const std::string& tableSection = "[mbr]\nstart = 40000\n") {
        std::string text = "; card script\n[process]\n" + process + "\n";
        for (const Step& s : steps)
            text += StepSection(s);
        WriteFile(m_scriptPath, text + tableSection);
    }
    int Parse() {
        sarnet::ScriptMan man;
        return man.ParseScriptInfo(&m_param, m_scriptPath.c_str());
    }
    std::string ReadFileText() const {
        std::vector<uint8_t> b = ReadFile(m_scriptPath);
        return std::string(b.begin(), b.end());
    }
    const ScriptItem& Item(uint32_t i) const { return m_info.items[i]; }
    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> out;
        for (const auto& b : m_capture.Boxes())
            out.push_back(b.caption + ": " + b.text);
        return out;
    }

    ToolParam m_param;
    ScriptInfo m_info;
    std::string m_scriptPath;
};

const Step kBox0{"box0", "12345678", "BOOTPKG-00000000", 32800, 100, ""};
const Step kBox1{"box1", "12345678", "UBOOT_0000000000", 24576, 200, ""};

TEST_F(SarnetScript, ProductModeItems) {
    // The first table partition that a download entry names (ignoring
    // case) is "system", index 1.
    WriteTables(DefaultPartitions(), {{"SYSTEM", "system_fex000000"}});
    WriteScript("version = 300\nmode = product\nstartpos = 123456\n", {kBox0});
    EXPECT_EQ(Parse(), 1);
    EXPECT_EQ(m_info.version, 300u);
    EXPECT_EQ(m_info.mode, ScriptModeProduct);
    ASSERT_EQ(m_info.steps, 5u);
    EXPECT_STREQ(Item(0).main, "12345678");
    EXPECT_STREQ(Item(0).sub, "BOOTPKG-00000000");
    EXPECT_EQ(Item(0).start, 32800);
    EXPECT_EQ(Item(0).sectors, 100);
    EXPECT_EQ(Item(0).type, 1);
    EXPECT_EQ(Item(0).param[7], 17);
    EXPECT_STREQ(Item(0).commchs, "box0 中文");

    EXPECT_STREQ(Item(1).main, "12345678");
    EXPECT_STREQ(Item(1).sub, "1234567890___mbr");
    EXPECT_EQ(Item(1).start, 40000);
    EXPECT_EQ(Item(1).param[0], 2); // "UDISK" is table index 2
    EXPECT_STREQ(Item(1).commen, "MBR");

    EXPECT_STREQ(Item(2).main, "RFSFAT16");
    EXPECT_STREQ(Item(2).sub, "SYSTEM_FEX000000");
    EXPECT_EQ(Item(2).start, 40000 + 0x10000);
    EXPECT_STREQ(Item(2).commen, "SYSTEM");
    EXPECT_STREQ(Item(2).commchs, "system");
    EXPECT_EQ(m_param.res, 1u);

    EXPECT_STREQ(Item(3).main, "thisfile");
    EXPECT_STREQ(Item(3).sub, "1234567890123456");
    EXPECT_EQ(Item(3).start, 40000 + 0x10000 + 0x40000);
    EXPECT_EQ(Item(3).type, 0);
    EXPECT_STREQ(Item(4).main, "thisdata");
    EXPECT_STREQ(Item(4).sub, "thisdata00000000");
    EXPECT_EQ(Item(4).start, 123456);
    EXPECT_STREQ(Item(4).commchs, "DATA File");
    EXPECT_TRUE(BoxTexts().empty());
}

TEST_F(SarnetScript, ProductModeWithoutStartposOrUdisk) {
    WriteTables({{"boot", 0x8000, 0x8000}, {"system", 0x10000, 0x100}}, DefaultDownloads());
    WriteScript("version = 300\nmode = product\n", {kBox0});
    EXPECT_EQ(Parse(), 0); // the last lookup ("startpos") found nothing
    ASSERT_EQ(m_info.steps, 5u);
    EXPECT_EQ(m_param.res, 0u);
    EXPECT_EQ(Item(1).param[0], 0);
    EXPECT_EQ(Item(4).start, 0);
}

TEST_F(SarnetScript, OtherModesListEveryDownloadEntry) {
    WriteTables(DefaultPartitions(), {{"boot", "BOOT_FEX00000000"},
                                      {"system", "system_fex000000"},
                                      {"udisk", "UDISK_FEX0000000"}});
    WriteScript("version = 300\nmode = bromrun\n", {kBox0});
    EXPECT_EQ(Parse(), 1);
    EXPECT_EQ(m_info.mode, ScriptModeBromrun);
    ASSERT_EQ(m_info.steps, 6u);
    EXPECT_STREQ(Item(1).sub, "1234567890___mbr");
    const char* subs[] = {"BOOT_FEX00000000", "system_fex000000", "UDISK_FEX0000000"};
    const int starts[] = {0x8000, 0x10000, 0x50000};
    const char* labels[] = {"boot", "system", "UDISK"};
    for (int k = 0; k < 3; ++k) {
        EXPECT_STREQ(Item(2 + k).main, "RFSFAT16");
        EXPECT_STREQ(Item(2 + k).sub, subs[k]); // as stored
        EXPECT_EQ(Item(2 + k).start, 40000 + starts[k]);
        EXPECT_STREQ(Item(2 + k).commen, labels[k]);
    }
    EXPECT_STREQ(Item(5).main, "thisdata");
    EXPECT_EQ(Item(5).start, 40000 + 0x50000); // behind the last partition's start
    EXPECT_EQ(m_param.res, 0u);
}

TEST_F(SarnetScript, DefaultsAndNumberForms) {
    // [mbr] without "start": 40960; "0x100" reads as 0; "Product" is no mode.
    Step hex = kBox0;
    WriteScript("version = 300\nmode = Product\n", {hex}, "[mbr]\n");
    std::string text = ReadFileText();
    size_t at = text.find("start = 32800");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 13, "start = 0x100");
    WriteFile(m_scriptPath, text);
    EXPECT_EQ(Parse(), 0); // the table section's "start" is missing
    EXPECT_EQ(m_info.mode, ScriptModeNull);
    ASSERT_EQ(m_info.steps, 3u + 2u);
    EXPECT_EQ(Item(0).start, 0);
    EXPECT_EQ(Item(1).start, 40960);
    EXPECT_EQ(Item(2).start, 40960 + 0x8000);
}

TEST_F(SarnetScript, EarlyEndsShowTheirBoxes) {
    struct Case {
        std::string process;
        std::vector<Step> steps;
        std::string box;
        uint32_t steps_;
    };
    Step noParam5 = kBox1;
    noParam5.omit = "param5";
    const std::vector<Case> cases = {
        {"version = 200\nmode = bromrun\n",
         {kBox0},
         "Error: Image error, use new version image file!",
         0},
        {"mode = bromrun\n", {kBox0}, "Error: GetKeyString(process version) failed", 0},
        {"version = 300\n", {kBox0}, "Error: GetKeyString(process mode) failed", 0},
        {"version = 300\nmode = bromrun\n",
         {kBox0, noParam5},
         "Error: GetKeyString(box1 param5) failed",
         4 + 2},
    };
    for (const Case& c : cases) {
        m_capture.Clear();
        std::free(m_info.items);
        m_info = {};
        WriteScript(c.process, c.steps);
        Parse();
        ASSERT_EQ(BoxTexts(), std::vector<std::string>{c.box}) << c.process;
        EXPECT_EQ(m_info.steps, c.steps_) << c.process;
        if (c.steps_ == 0) {
            EXPECT_EQ(m_info.items, nullptr);
            continue;
        }
        // Earlier steps are filled, the rest of the array stays zero.
        EXPECT_STREQ(Item(0).sub, "BOOTPKG-00000000");
        for (uint32_t i = 2; i < m_info.steps; ++i) {
            EXPECT_EQ(Item(i).main[0], 0) << i;
            EXPECT_EQ(Item(i).start, 0) << i;
        }
    }
    // A version that is not 300 keeps the version and the mode.
    std::free(m_info.items);
    m_info = {};
    WriteScript("version = 200\nmode = burnkey\n", {kBox0});
    Parse();
    EXPECT_EQ(m_info.version, 200u);
    EXPECT_EQ(m_info.mode, ScriptModeBurnkey);
}

TEST_F(SarnetScript, FailureCodes) {
    WriteScript("version = 300\nmode = bromrun\n", {kBox0});
    sarnet::ScriptMan man;
    EXPECT_EQ(man.ParseScriptInfo(nullptr, m_scriptPath.c_str()), 67);
    EXPECT_EQ(man.ParseScriptInfo(&m_param, nullptr), 73);
    ToolParam empty{};
    EXPECT_EQ(man.ParseScriptInfo(&empty, m_scriptPath.c_str()), 73);
    EXPECT_EQ(man.ParseScriptInfo(&m_param, HomePath("none.cfg").c_str()), 78);
    std::vector<uint8_t> bad(16384, 0);
    WriteFile(HomePath("mbr.fex"), bad);
    EXPECT_EQ(Parse(), 124);
    EXPECT_TRUE(m_capture.DebugContains("Load MBR and dlInfo Failed"));
    EXPECT_EQ(m_info.steps, 0u);
}

TEST_F(SarnetScript, FewerThanTwoSectionsEndsWithoutItems) {
    WriteFile(m_scriptPath, "[process]\nversion = 300\nmode = bromrun\n");
    Parse();
    EXPECT_EQ(m_info.steps, 0u);
    EXPECT_EQ(m_info.items, nullptr);
    ASSERT_EQ(m_capture.Boxes().size(), 1u);
    EXPECT_NE(m_capture.Boxes()[0].text.find("sections"), std::string::npos);
}

TEST_F(SarnetScript, DownloadEntriesWithoutFileNameLeaveNoEmptyItems) {
    // Two named partitions in the list, the second without a file name.
    WriteTables(DefaultPartitions(), {{"boot", "BOOT_FEX00000000"}, {"system", ""}});
    WriteScript("version = 300\nmode = bromrun\n", {kBox0});
    Parse();
    ASSERT_EQ(m_info.steps, 4u);
    EXPECT_STREQ(Item(2).main, "RFSFAT16");
    EXPECT_STREQ(Item(3).main, "thisdata");
}

TEST_F(SarnetScript, FirstPartitionOptionChoosesTheTableFile) {
    WriteScript("version = 300\nmode = bromrun\n", {kBox0});
    m_param.Extension = 100;
    m_param.res = 0x11;
    // Without mbr_new.fex beside the script, mbr.fex is used and the log says so.
    Parse();
    EXPECT_TRUE(m_capture.DebugContains("will use defalut " + HomePath("mbr.fex")));
    EXPECT_TRUE(m_capture.DebugContains("the mbr file: " + HomePath("mbr.fex")));
    EXPECT_EQ(Item(2).start, 40000 + 0x8000);
    // With it, mbr_new.fex gives the starts.
    std::free(m_info.items);
    m_info = {};
    WriteTables({{"boot", 0x9000, 0x8000}, {"system", 0x11000, 0x100}}, DefaultDownloads(),
                "mbr_new.fex");
    Parse();
    EXPECT_TRUE(m_capture.DebugContains("the mbr file: " + HomePath("mbr_new.fex")));
    EXPECT_EQ(Item(2).start, 40000 + 0x9000);
    // The option off: mbr.fex again.
    std::free(m_info.items);
    m_info = {};
    m_param.Extension = 0;
    Parse();
    EXPECT_EQ(Item(2).start, 40000 + 0x8000);
}

} // namespace
} // namespace vorlane::test
