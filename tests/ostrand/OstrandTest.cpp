// The script-parser plug-in: exports, registry, and both parsers over the
// configuration-parser service config.so.
#include "ConfigInfo.h"
#include "Interfaces.h"
#include "LibraryTables.h"
#include "PartitionFixtures.h"
#include "ScriptInfo.h"
#include "ServiceTables.h"
#include "TestSupport.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <map>

namespace {

using namespace vorlane::test;

void* Open(const char* name) {
    const char* dir = std::getenv("VORLANE_MODULE_DIR");
    std::string path = std::string(dir && *dir ? dir : VORLANE_TEST_MODULE_DIR) + "/" + name;
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

template <class T> T Symbol(void* lib, const char* name) {
    return reinterpret_cast<T>(dlsym(lib, name));
}

const OstrandTable* Ostrand() {
    static void* lib = Open("Ostrand.so");
    if (!lib) return nullptr;
    auto get = Symbol<GetInterfaceFn>(lib, "GetInterface");
    return static_cast<const OstrandTable*>(get(VORLANE_IID_OSTRAND));
}

const ConfigParserTable* Reader() {
    static void* lib = Open("config.so");
    if (!lib) return nullptr;
    auto get = Symbol<GetInterfaceFn>(lib, "GetInterface");
    return static_cast<const ConfigParserTable*>(get(VORLANE_IID_CONFIG_PARSER));
}

std::string Step(const std::string& name, const std::string& body) {
    return "[" + name + "]\r\n" + body;
}

// All keys of a step section; `skip` leaves one out.
std::string StepKeys(const std::string& main, const std::string& sub, int start,
                     const std::string& skip = "") {
    std::map<std::string, std::string> keys = {
        {"main", main},       {"sub", sub},  {"start", std::to_string(start)},
        {"sectors", "16"},    {"type", "1"}, {"commen", "boot zero"},
        {"commchs", "引导0"},
    };
    for (int p = 0; p < 8; ++p)
        keys["param" + std::to_string(p)] = std::to_string(p + 10);
    const char* order[] = {"main",   "sub",    "start",  "sectors", "type",
                           "param0", "param1", "param2", "param3",  "param4",
                           "param5", "param6", "param7", "commen",  "commchs"};
    std::string text;
    for (const char* k : order)
        if (k != skip) text += std::string(k) + " = " + keys[k] + "\r\n";
    return text;
}

// A parsed script that releases its item array.
struct OwnedScript : ScriptInfo {
    OwnedScript() : ScriptInfo{} {}
    ~OwnedScript() { std::free(items); }
    OwnedScript(const OwnedScript&) = delete;
    OwnedScript& operator=(const OwnedScript&) = delete;
};

class OstrandTest : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        ASSERT_NE(Ostrand(), nullptr) << dlerror();
        ASSERT_NE(Reader(), nullptr) << dlerror();
        m_script = m_root + "/script.cfg";
        WriteTables(DefaultPartitions(), {{"boot", "boot_fex"}, {"system", "SYSTEM_FEX"}});
    }
    void WriteTables(const std::vector<FixturePartition>& parts,
                     const std::vector<FixtureDownload>& downloads) {
        WriteFile(m_root + "/mbr.fex", BuildLargeTable(parts));
        WriteFile(m_root + "/dlinfo.fex", BuildLargeDownload(downloads));
    }
    int ParseScript(const std::string& text, OwnedScript* info) {
        WriteFile(m_script, text);
        std::free(info->items);
        std::memset(static_cast<ScriptInfo*>(info), 0, sizeof(ScriptInfo));
        ParserEntry* entry = Ostrand()->FindParser("script_ini");
        return entry->parse(info, sizeof(ScriptInfo), m_script.c_str(), Reader());
    }
    int ParseConfig(const std::string& text, ConfigInfo* info) {
        std::string path = m_root + "/config.cfg";
        WriteFile(path, text);
        ParserEntry* entry = Ostrand()->FindParser("config_ini");
        return entry->parse(info, sizeof *info, path.c_str(), Reader());
    }
    std::string m_script;
};

const std::string kProcess =
    "[process]\r\nversion = 300\r\nmode = product\r\nstartpos = 123456\r\n";

void ExpectItem(const ScriptItem& item, const char* main, const char* sub, int32_t start,
                int32_t type, const char* commen, const char* commchs) {
    EXPECT_STREQ(item.main, main);
    EXPECT_STREQ(item.sub, sub);
    EXPECT_EQ(item.start, start) << main << "/" << sub;
    EXPECT_EQ(item.type, type) << main << "/" << sub;
    EXPECT_STREQ(item.commen, commen);
    EXPECT_STREQ(item.commchs, commchs);
}

TEST_F(OstrandTest, ExportsAndTable) {
    void* lib = Open("Ostrand.so");
    EXPECT_STREQ(Symbol<GetPlugInTypeFn>(lib, "GetPlugInType")(),
                 "c4c12549-6916-4c73-9cd0-61d97af44a95");
    EXPECT_STREQ(Symbol<GetPlugInNameFn>(lib, "GetPlugInName")(), "ParserMgr");
    EXPECT_EQ(Symbol<GetPlugInVersionFn>(lib, "GetPlugInVersion")(), 256);
    EXPECT_STREQ(Symbol<GetAuthorFn>(lib, "GetAuthor")(), "tobrenk");
    EXPECT_STREQ(Symbol<GetAuthorFn>(lib, "GetCopyRight")(), "tobrenk");
    auto query = Symbol<QueryInterfaceFn>(lib, "QueryInterface");
    EXPECT_EQ(query(VORLANE_IID_OSTRAND), 0);
    EXPECT_EQ(query("C4C12549-6916-4C73-9CD0-61D97AF44A95"), 86);
    EXPECT_EQ(query(nullptr), 86);
    auto get = Symbol<GetInterfaceFn>(lib, "GetInterface");
    EXPECT_EQ(get("c4c12549"), nullptr);
    EXPECT_EQ(get(VORLANE_IID_OSTRAND), Ostrand());

    const OstrandTable* t = Ostrand();
    EXPECT_EQ(t->GetState(), 0);
    EXPECT_EQ(t->Init(0), 0);
    EXPECT_EQ(t->GetState(), 2);
    EXPECT_EQ(t->Exit(0), 0);
    EXPECT_EQ(t->GetState(), 2);
    EXPECT_EQ(t->GetParserCapacity(), 16);
}

TEST_F(OstrandTest, Registry) {
    const OstrandTable* t = Ostrand();
    for (const char* name : {"script_ini", "config_ini"}) {
        ParserEntry* e = t->FindParser(name);
        ASSERT_NE(e, nullptr) << name;
        EXPECT_STREQ(e->interfaceId(), VORLANE_IID_CONFIG_PARSER);
    }
    EXPECT_EQ(t->GetParserAt(0), t->FindParser("script_ini"));
    EXPECT_EQ(t->GetParserAt(1), t->FindParser("config_ini"));
    EXPECT_EQ(t->FindParser("script"), nullptr);
    EXPECT_EQ(t->FindParser("script_ini2"), nullptr);
    EXPECT_EQ(t->FindParser(""), nullptr); // free entries are no parsers
    ASSERT_NE(t->GetParserAt(15), nullptr);
    EXPECT_EQ(t->GetParserAt(15)->name[0], '\0');
    EXPECT_EQ(t->GetParserAt(16), nullptr);
    EXPECT_EQ(t->GetParserAt(-1), nullptr);

    ParserParseFn parse = t->FindParser("config_ini")->parse;
    ParserInterfaceIdFn id = t->FindParser("config_ini")->interfaceId;
    EXPECT_EQ(t->AddParser(nullptr, parse, id), 129);
    EXPECT_EQ(t->AddParser("x", nullptr, id), 129);
    EXPECT_EQ(t->AddParser("", parse, id), 129);
    // A 16-character name fills its field without terminator; longer is cut.
    EXPECT_EQ(t->AddParser("sixteen_chars_xx", parse, id), 0);
    EXPECT_EQ(t->AddParser("seventeen_chars_y", parse, id), 0);
    EXPECT_EQ(t->GetParserAt(2), t->FindParser("sixteen_chars_xx"));
    EXPECT_EQ(std::memcmp(t->GetParserAt(3)->name, "seventeen_chars_", 16), 0);
    EXPECT_EQ(t->FindParser("seventeen_chars_y"), nullptr);
    for (int i = 4; i < 16; ++i)
        EXPECT_EQ(t->AddParser(("p" + std::to_string(i)).c_str(), parse, id), 0);
    EXPECT_EQ(t->AddParser("full", parse, id), 143);

    EXPECT_EQ(t->SetParser(nullptr, parse, id), 106);
    EXPECT_EQ(t->SetParser("nosuch", parse, id), 119);
    EXPECT_EQ(t->SetParser("p4", t->FindParser("script_ini")->parse, id), 0);
    EXPECT_EQ(t->FindParser("p4")->parse, t->FindParser("script_ini")->parse);

    EXPECT_EQ(t->RemoveParser(nullptr), 153);
    EXPECT_EQ(t->RemoveParser("nosuch"), 167);
    EXPECT_EQ(t->RemoveParser("p7"), 0);
    EXPECT_EQ(t->FindParser("p7"), nullptr);
    const ParserEntry zero{};
    EXPECT_EQ(std::memcmp(t->GetParserAt(7), &zero, sizeof zero), 0);
    EXPECT_EQ(t->AddParser("again", parse, id), 0);
    EXPECT_EQ(t->GetParserAt(7), t->FindParser("again"));
    // The registry is process-wide: leave only the two built-in parsers.
    for (int i = 2; i < 16; ++i)
        std::memset(static_cast<void*>(t->GetParserAt(i)), 0, sizeof(ParserEntry));
}

TEST_F(OstrandTest, WrongOutputSizesLeaveOutputUntouched) {
    std::vector<uint8_t> out(200, 0xA5), before = out;
    std::string path = ModulePath("config.cfg");
    // The 32-bit record size is refused on a 64-bit build and vice versa.
    const uint32_t otherSize = sizeof(void*) == 8 ? 16 : 24;
    ParserParseFn script = Ostrand()->FindParser("script_ini")->parse;
    EXPECT_EQ(script(out.data(), otherSize, m_script.c_str(), Reader()), 767);
    EXPECT_EQ(Ostrand()->FindParser("script_ini")->parse(out.data(), 168, path.c_str(), Reader()),
              767);
    EXPECT_EQ(Ostrand()->FindParser("config_ini")->parse(out.data(), 160, path.c_str(), Reader()),
              26);
    EXPECT_EQ(out, before);
}

// [process], [box0], [mbr] in product mode: box0, the partition table, the
// first partition's data, the image file and the data file.
TEST_F(OstrandTest, ProductScript) {
    OwnedScript info;
    std::string text = kProcess +
                       Step("box0", StepKeys("BOOTPKG-00000000", "BOOT_0000000000000000", 8)) +
                       Step("mbr", "start = 32768\r\n");
    ASSERT_EQ(ParseScript(text, &info), 0);
    EXPECT_EQ(info.version, 300u);
    EXPECT_EQ(info.mode, 1);
    ASSERT_EQ(info.steps, 5u);
    ASSERT_NE(info.items, nullptr);
    const ScriptItem* it = info.items;
    ExpectItem(it[0], "BOOTPKG-", "BOOT_00000000000", 8, 1, "boot zero", "引导0");
    EXPECT_EQ(it[0].sectors, 16);
    for (int p = 0; p < 8; ++p)
        EXPECT_EQ(it[0].param[p], p + 10);
    ExpectItem(it[1], "12345678", "1234567890___mbr", 32768, 1, "MBR", "MBR");
    EXPECT_EQ(it[1].param[0], 2); // "UDISK" is table partition 2
    ExpectItem(it[2], "RFSFAT16", "BOOT_FEX", 32768 + 0x8000, 1, "", "boot");
    ExpectItem(it[3], "thisfile", "1234567890123456", 32768 + 0x8000 + 0x8000, 0, "IMG File",
               "IMG File");
    ExpectItem(it[4], "thisdata", "thisdata00000000", 123456, 0, "DATA File", "DATA File");
    for (int i = 1; i < 5; ++i) {
        EXPECT_EQ(it[i].sectors, 0);
        EXPECT_EQ(it[i].length, 0u);
    }
    EXPECT_TRUE(m_capture.DebugContains("DumpScriptInfo: steps=5"));
    EXPECT_TRUE(m_capture.DebugContains("ParseScriptInfo ok"));
    EXPECT_TRUE(m_capture.Boxes().empty());
}

// bromrun with three named downloads: a partition item each, then the data
// file behind the last partition that has a start.
TEST_F(OstrandTest, BromrunScriptWithThreeDownloads) {
    WriteTables(DefaultPartitions(),
                {{"boot", "BOOT_FEX"}, {"SYSTEM", "SYSTEM_FEX"}, {"udisk", "UDISK_FEX"}});
    OwnedScript info;
    std::string text = "[process]\r\nversion = 300\r\nmode = bromrun\r\n" +
                       Step("box0", StepKeys("12345678", "1234567890BOOT_0", 16)) +
                       Step("card_boot", "start = 40000\r\n");
    ASSERT_EQ(ParseScript(text, &info), 0);
    EXPECT_EQ(info.mode, 2);
    ASSERT_EQ(info.steps, 6u);
    const ScriptItem* it = info.items;
    ExpectItem(it[1], "12345678", "1234567890___mbr", 40000, 1, "MBR", "MBR");
    EXPECT_EQ(it[1].param[0], 0);
    ExpectItem(it[2], "RFSFAT16", "BOOT_FEX", 40000 + 0x8000, 1, "boot", "boot");
    ExpectItem(it[3], "RFSFAT16", "SYSTEM_FEX", 40000 + 0x10000, 1, "system", "system");
    ExpectItem(it[4], "RFSFAT16", "UDISK_FEX", 40000 + 0x50000, 1, "UDISK", "UDISK");
    ExpectItem(it[5], "thisdata", "thisdata00000000", 40000 + 0x50000, 0, "DATA File", "DATA File");
}

// A download entry past the end of the list (no partition name) but with a
// file name takes no item: the array holds only the listed downloads.
TEST_F(OstrandTest, DownloadEntryPastEndOfListTakesNoItem) {
    WriteTables(DefaultPartitions(), {{"boot", "BOOT_FEX"}, {"", "STRAY_FEX"}, {"", "MORE_FEX"}});
    OwnedScript info;
    std::string text = "[process]\r\nversion = 300\r\nmode = test\r\n" + Step("mbr", "start=1\r\n");
    ASSERT_EQ(ParseScript(text, &info), 0);
    EXPECT_EQ(info.mode, 4);
    ASSERT_EQ(info.steps, 3u); // two sections + one download
    ExpectItem(info.items[0], "12345678", "1234567890___mbr", 1, 1, "MBR", "MBR");
    ExpectItem(info.items[1], "RFSFAT16", "BOOT_FEX", 1 + 0x8000, 1, "boot", "boot");
    ExpectItem(info.items[2], "thisdata", "thisdata00000000", 1 + 0x50000, 0, "DATA File",
               "DATA File");
}

TEST_F(OstrandTest, MissingTableStartUsesDefaultSector) {
    OwnedScript info;
    std::string text = "[process]\r\nversion = 300\r\nmode = bromrun\r\n" +
                       Step("box0", StepKeys("a", "b", 1)) + Step("mbr", "other = 1\r\n");
    int r = ParseScript(text, &info);
    EXPECT_NE(r, 0); // the outcome of the last lookup: "start" was missing
    ASSERT_EQ(info.steps, 5u);
    EXPECT_EQ(info.items[1].start, 40960);
    EXPECT_EQ(info.items[2].start, 40960 + 0x8000);
    EXPECT_EQ(info.items[4].start, 40960 + 0x50000);
    EXPECT_TRUE(m_capture.Boxes().empty());
}

TEST_F(OstrandTest, WrongVersionAndMissingKeys) {
    OwnedScript info;
    ParseScript("[process]\r\nversion = 200\r\nmode = product\r\n[box0]\r\n[mbr]\r\n", &info);
    EXPECT_EQ(info.version, 200u);
    EXPECT_EQ(info.steps, 0u);
    EXPECT_EQ(info.items, nullptr);
    ASSERT_EQ(m_capture.Boxes().size(), 1u);
    EXPECT_EQ(m_capture.Boxes()[0].text, "Image error, use new version image file!");
    EXPECT_EQ(m_capture.Boxes()[0].caption, "Error");
    EXPECT_TRUE(m_capture.DebugContains("err = "));

    m_capture.Clear();
    EXPECT_NE(ParseScript("[process]\r\nmode = product\r\n[box0]\r\n[mbr]\r\n", &info), 0);
    ASSERT_EQ(m_capture.Boxes().size(), 1u);
    EXPECT_EQ(m_capture.Boxes()[0].text, "GetKeyString(process version) failed");
    EXPECT_EQ(info.items, nullptr);

    // The second step lacks "param5": the first is filled, the second up to
    // param4, the rest of the array stays zero.
    m_capture.Clear();
    std::string text = kProcess + Step("box0", StepKeys("m0", "s0", 1)) +
                       Step("box1", StepKeys("m1", "s1", 2, "param5")) + Step("mbr", "start=9\r\n");
    EXPECT_NE(ParseScript(text, &info), 0);
    ASSERT_EQ(m_capture.Boxes().size(), 1u);
    EXPECT_EQ(m_capture.Boxes()[0].text, "GetKeyString(box1 param5) failed");
    EXPECT_EQ(m_capture.Boxes()[0].caption, "Error");
    ASSERT_EQ(info.steps, 6u);
    EXPECT_STREQ(info.items[0].commchs, "引导0");
    EXPECT_STREQ(info.items[1].main, "m1");
    EXPECT_EQ(info.items[1].param[4], 14);
    EXPECT_EQ(info.items[1].param[5], 0);
    EXPECT_STREQ(info.items[1].commen, "");
    const ScriptItem zero{};
    for (uint32_t i = 2; i < info.steps; ++i)
        EXPECT_EQ(std::memcmp(&info.items[i], &zero, sizeof zero), 0) << i;
    EXPECT_FALSE(m_capture.DebugContains("ParseScriptInfo ok"));
}

// Numbers read their leading decimal digits; out of range they clamp.
TEST_F(OstrandTest, NumbersAndModes) {
    struct Case {
        const char* text;
        int32_t value;
    } numbers[] = {{"0x100", 0},
                   {"256", 256},
                   {" 12abc", 12},
                   {"-7", -7},
                   {"abc", 0},
                   {"99999999999", INT32_MAX},
                   {"-99999999999", INT32_MIN},
                   {"2147483647", INT32_MAX},
                   {"-2147483648", INT32_MIN},
                   {"+5", 5}};
    for (const Case& c : numbers) {
        SCOPED_TRACE(c.text);
        std::string body = StepKeys("m", "s", 0);
        body.replace(body.find("start = 0"), 9, std::string("start = ") + c.text);
        OwnedScript info;
        ParseScript(kProcess + Step("box0", body) + Step("mbr", "start=1\r\n"), &info);
        ASSERT_EQ(info.steps, 5u);
        EXPECT_EQ(info.items[0].start, c.value);
    }
    struct Mode {
        const char* text;
        uint16_t code;
    } modes[] = {{"null", 0},    {"product", 1}, {"bromrun", 2}, {"update", 3}, {"test", 4},
                 {"burnkey", 5}, {"Product", 0}, {"PRODUCT", 0}, {"other", 0}};
    for (const Mode& m : modes) {
        OwnedScript info;
        ParseScript(std::string("[process]\r\nversion=300\r\nmode=") + m.text +
                        "\r\n[mbr]\r\nstart=1\r\n",
                    &info);
        EXPECT_EQ(info.mode, m.code) << m.text;
        EXPECT_EQ(info.steps, 4u) << m.text; // S + 2, or S + D with D = 2
    }
    // A version beyond 32 bits clamps and is refused.
    OwnedScript info;
    ParseScript("[process]\r\nversion=4294967596\r\nmode=test\r\n[mbr]\r\n", &info);
    EXPECT_EQ(info.steps, 0u);
}

TEST_F(OstrandTest, ScriptFailureCodes) {
    OwnedScript info;
    ParserParseFn parse = Ostrand()->FindParser("script_ini")->parse;
    EXPECT_EQ(parse(nullptr, sizeof info, m_script.c_str(), Reader()), 91);
    EXPECT_EQ(parse(&info, sizeof info, nullptr, Reader()), 91);
    EXPECT_EQ(parse(&info, sizeof info, m_script.c_str(), nullptr), 91);
    EXPECT_EQ(parse(&info, sizeof info, (m_root + "/none.cfg").c_str(), Reader()), 96);
    EXPECT_EQ(parse(&info, sizeof info, m_root.c_str(), Reader()), 96);

    EXPECT_EQ(ParseScript("[process]\r\nversion=300\r\nmode=test\r\n", &info), 98);
    EXPECT_EQ(info.items, nullptr);

    unlink((m_root + "/mbr.fex").c_str());
    m_capture.Clear();
    EXPECT_EQ(ParseScript(kProcess + "[mbr]\r\n", &info), 123);
    EXPECT_TRUE(m_capture.DebugContains("Load MBR and dlInfo Failed\n"));
}

// The partition files are found beside the script; a bare name means the
// current directory.
TEST_F(OstrandTest, PartitionFilesBesideTheScript) {
    std::string sub = m_root + "/cards/E";
    ASSERT_EQ(RunCommand("mkdir -p '" + sub + "'"), 0);
    WriteFile(sub + "/mbr.fex", BuildLargeTable({{"only", 0x100, 0x10}}));
    WriteFile(sub + "/dlinfo.fex", BuildLargeDownload({{"only", "ONLY_FEX"}}));
    WriteFile(sub + "/script.cfg",
              "[process]\r\nversion=300\r\nmode=bromrun\r\n[mbr]\r\nstart=5\r\n");
    OwnedScript info;
    ParserParseFn parse = Ostrand()->FindParser("script_ini")->parse;
    ASSERT_EQ(parse(&info, sizeof info, (sub + "/script.cfg").c_str(), Reader()), 0);
    ASSERT_EQ(info.steps, 3u);
    EXPECT_STREQ(info.items[1].sub, "ONLY_FEX");

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(sub.c_str()), 0);
    OwnedScript local;
    int r = parse(&local, sizeof local, "script.cfg", Reader());
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(local.steps, 3u);
}

// A service that cannot open the file: both parsers fail with their own code
// and leave the record clear.
int g_closed = 0;
void* FailOpen(const char*, int) {
    return nullptr;
}
int CountClose(void*) {
    return ++g_closed;
}

TEST_F(OstrandTest, OpenConfigFailure) {
    ConfigParserTable failing = *Reader();
    failing.OpenConfig = &FailOpen;
    failing.CloseConfig = &CountClose;
    WriteFile(m_script, kProcess + "[mbr]\r\n");
    ScriptInfo info;
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_EQ(
        Ostrand()->FindParser("script_ini")->parse(&info, sizeof info, m_script.c_str(), &failing),
        97);
    const ScriptInfo zero{};
    EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
    EXPECT_TRUE(m_capture.DebugContains("ERROR:script_parser["));
    EXPECT_TRUE(m_capture.DebugContains("]\nFUNC:ParseScriptInfo:OpenConfig failed\n"));

    ConfigInfo config;
    std::memset(&config, 0x5A, sizeof config);
    std::string path = ModulePath("config.cfg");
    EXPECT_EQ(
        Ostrand()->FindParser("config_ini")->parse(&config, sizeof config, path.c_str(), &failing),
        75);
    const ConfigInfo clear{};
    EXPECT_EQ(std::memcmp(&config, &clear, sizeof config), 0);
    EXPECT_EQ(g_closed, 0);
}

TEST_F(OstrandTest, ShippedConfiguration) {
    ConfigInfo info;
    std::string path = ModulePath("config.cfg");
    ASSERT_EQ(
        Ostrand()->FindParser("config_ini")->parse(&info, sizeof info, path.c_str(), Reader()), 0);
    EXPECT_EQ(info.ver, 0x100);
    EXPECT_STREQ(info.card.main, "12345678");
    EXPECT_STREQ(info.card.sub, "CARDTOOL00000000");
    EXPECT_STREQ(info.script.sub, "1234567890SCRIPT");
    EXPECT_STREQ(info.mbr.sub, "1234567890___MBR");
    EXPECT_STREQ(info.gpt.sub, "1234567890___GPT");
    EXPECT_STREQ(info.dlinfo.sub, "1234567890DLINFO");
    EXPECT_EQ(info.reserved, 0);
    EXPECT_TRUE(m_capture.DebugContains("ver\t\t=100"));
    EXPECT_TRUE(m_capture.DebugContains("card.sub\t=CARDTOOL00000000"));
    EXPECT_TRUE(m_capture.DebugContains("script.main=12345678"));
    EXPECT_TRUE(m_capture.DebugContains("ParseConfigInfo ok"));
}

std::string ConfigText(const std::string& ver, const std::string& cardMain, bool withGpt = true) {
    std::string text = "[system]\r\nver = " + ver + "\r\n[usb]\r\npid = 0XfFfF\r\nvid = 1f3g\r\n" +
                       "[card]\r\nmain = " + cardMain + "\r\nsub = ABCDEFGHIJKLMNOPQRST\r\n";
    for (const char* s : {"script", "mbr", "gpt", "dlinfo"}) {
        if (!withGpt && std::strcmp(s, "gpt") == 0) continue;
        text += std::string("[") + s + "]\r\nmain = m_" + s + "\r\nsub = s_" + s + "\r\n";
    }
    return text;
}

TEST_F(OstrandTest, ConfigurationValues) {
    struct Case {
        const char* ver;
        uint16_t value;
    } cases[] = {{"0x100", 0x100},         {"100", 0x100}, {"12345", 0x2345}, {"0x1ABCD", 0xABCD},
                 {"ffffffffffff", 0xFFFF}, {"zz", 0},      {"0x", 0},         {" 7f;", 0x7F}};
    for (const Case& c : cases) {
        ConfigInfo info;
        ASSERT_EQ(ParseConfig(ConfigText(c.ver, "12345678"), &info), 0) << c.ver;
        EXPECT_EQ(info.ver, c.value) << c.ver;
    }
    ConfigInfo info;
    ASSERT_EQ(ParseConfig(ConfigText("1", "ABCDEFGHIJKL"), &info), 0);
    EXPECT_EQ(info.pid, 0xFFFF);
    EXPECT_EQ(info.vid, 0x1F3);
    EXPECT_STREQ(info.card.main, "ABCDEFGH");
    EXPECT_STREQ(info.card.sub, "ABCDEFGHIJKLMNOP");
    EXPECT_STREQ(info.dlinfo.main, "m_dlinfo");
    // Fields are NUL-terminated inside and zero behind the text.
    const char* raw = reinterpret_cast<const char*>(&info.card);
    for (int i = 8; i < 12; ++i)
        EXPECT_EQ(raw[i], 0);
}

TEST_F(OstrandTest, ConfigurationWithoutGptSection) {
    ConfigInfo info;
    std::memset(&info, 0x77, sizeof info);
    int r = ParseConfig(ConfigText("1", "x", false), &info);
    EXPECT_NE(r, 0);
    EXPECT_STREQ(info.mbr.sub, "s_mbr");
    const ItemName zero{};
    EXPECT_EQ(std::memcmp(&info.gpt, &zero, sizeof zero), 0);
    EXPECT_EQ(std::memcmp(&info.dlinfo, &zero, sizeof zero), 0);
    EXPECT_TRUE(m_capture.DebugContains("FUNC:ParseConfigInfo:GetKeyString(main) faild " +
                                        std::to_string(r)));
    EXPECT_TRUE(m_capture.DebugContains("ERROR:config_parser["));
    EXPECT_TRUE(m_capture.DebugContains("err = " + std::to_string(r)));
    EXPECT_FALSE(m_capture.DebugContains("ParseConfigInfo ok"));

    ParserParseFn parse = Ostrand()->FindParser("config_ini")->parse;
    EXPECT_EQ(parse(nullptr, sizeof info, m_script.c_str(), Reader()), 69);
    EXPECT_EQ(parse(&info, sizeof info, nullptr, Reader()), 69);
    EXPECT_EQ(parse(&info, sizeof info, m_script.c_str(), nullptr), 69);
    EXPECT_EQ(parse(&info, sizeof info, (m_root + "/none.cfg").c_str(), Reader()), 74);
}

} // namespace

namespace {

// The way the card-functions library reaches both: through the plug-in centre.
TEST_F(OstrandTest, ThroughThePluginCentre) {
    const PluginManTable* centre = PluginCenter();
    if (!centre) GTEST_SKIP() << "no plug-in centre in the module directory";
    PluginLoadRecord records[2] = {};
    std::strcpy(records[0].id, VORLANE_IID_OSTRAND);
    std::strcpy(records[0].path, "Ostrand.so");
    std::strcpy(records[1].id, VORLANE_IID_CONFIG_PARSER);
    std::strcpy(records[1].path, "config.so");
    for (const auto& record : records)
        ASSERT_NE(centre->LoadPlugin(&record), 0) << record.path;
    auto* parsers =
        static_cast<const OstrandTable*>(centre->GetPluginInterface(VORLANE_IID_OSTRAND));
    ASSERT_NE(parsers, nullptr);
    ParserEntry* entry = parsers->FindParser("config_ini");
    ASSERT_NE(entry, nullptr);
    auto* reader =
        static_cast<const ConfigParserTable*>(centre->GetPluginInterface(entry->interfaceId()));
    ASSERT_NE(reader, nullptr);
    ConfigInfo info;
    std::string path = ModulePath("config.cfg");
    EXPECT_EQ(entry->parse(&info, sizeof info, path.c_str(), reader), 0);
    EXPECT_STREQ(info.card.sub, "CARDTOOL00000000");
}

} // namespace
