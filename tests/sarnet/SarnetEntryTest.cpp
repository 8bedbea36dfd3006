// The burn entry of Sarnet.so driven through the plug-in centre with the
// real checksum, image-decoder and card-device services on a virtual card:
// validation codes and boxes, the order of the notifications, languages.
#include "ImageWriter.h"
#include "Interfaces.h"
#include "LibraryTables.h"
#include "PartitionFixtures.h"
#include "ServiceTables.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace vorlane::test {
namespace {

struct Note {
    int code;
    std::string text;
    int progress;
};

// The window that receives WM_CARD_NOTIFY: records every notification.
struct Recorder {
    std::mutex lock;
    std::vector<Note> notes;
    static LRESULT Proc(HWND, unsigned message, WPARAM wParam, LPARAM lParam, void* self) {
        auto* r = static_cast<Recorder*>(self);
        if (message != WM_CARD_NOTIFY) return 0;
        auto* p = reinterpret_cast<ToolParam*>(lParam);
        std::lock_guard<std::mutex> g(r->lock);
        r->notes.push_back({static_cast<int>(wParam), p->message, p->progress});
        return 0;
    }
};

// Present for validation; never called.
void* g_unusedSlots[16] = {};

class SarnetEntryRun : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        unsetenv("VORLANE_CODEPAGE");
        setenv("VORLANE_CODEPAGE", "1252", 1);
        m_sarnet = static_cast<const SarnetTable*>(LoadTable(VORLANE_IID_SARNET, "Sarnet.so"));
        m_crc = LoadTable(VORLANE_IID_CHECKSUM, "crc32.so");
        m_decoder = LoadTable(VORLANE_IID_DECODER64, "Unspool64.so");
        m_card = LoadTable(VORLANE_IID_CARD_DEVICE, "Quillon.so");
        ASSERT_TRUE(m_sarnet && m_crc && m_decoder && m_card);

        MakeVirtualCard('E', 4u << 20);
        // A table at sector 2048, partitions from sector 100 of it; no
        // download entries: the items are the table and the data file.
        m_table = BuildLargeTable({{"boot", 100, 100}, {"UDISK", 300, 0}});
        WriteFile(HomePath("mbr.fex"), m_table);
        WriteFile(HomePath("dlinfo.fex"), BuildLargeDownload({}));
        m_data = RandomBytes(5000, 21);
        WriteFile(HomePath("thisdata.fexE"), m_data);
        WriteScript("300", "bromrun");
        image::Writer w;
        w.AddData("12345678", "1234567890___MBR", m_table);
        std::string error;
        ASSERT_TRUE(w.Write(HomePath("test.img"), 2, &error)) << error;

        m_recorder.notes.clear();
        m_window = VpCreateWindow(Recorder::Proc, &m_recorder);
        std::memset(&m_param, 0, sizeof m_param);
        m_param.version = TOOLPARAM_VERSION;
        m_param.size = sizeof(ToolParam);
        m_param.magic = TOOLPARAM_MAGIC;
        m_param.burnMode = 2;
        Copy(m_param.workPath, HomePath("E"));
        Copy(m_param.imagePath, HomePath("test.img"));
        Copy(m_param.scriptPath, HomePath("script.cfgE"));
        m_param.drive = 'E';
        m_param.notifyWindow = m_window;
        const char* ids[] = {VORLANE_IID_CHECKSUM,      VORLANE_IID_DECODER64,
                             VORLANE_IID_CARD_DEVICE,   VORLANE_IID_OSTRAND,
                             VORLANE_IID_CONFIG_PARSER, VORLANE_IID_SUM};
        void* tables[] = {m_crc, m_decoder, m_card, g_unusedSlots, g_unusedSlots, nullptr};
        for (int i = 0; i < 6; ++i) {
            std::memset(&m_entries[i], 0, sizeof m_entries[i]);
            std::strncpy(m_entries[i].id, ids[i], sizeof m_entries[i].id - 1);
            m_entries[i].table = tables[i];
        }
        m_param.interfaces = m_entries;
        m_param.interfaceCount = 6;
    }
    void TearDown() override {
        if (m_window) VpDestroyWindow(m_window);
        m_window = nullptr;
        unsetenv("VORLANE_CODEPAGE");
        VorlaneTest::TearDown();
    }
    static void Copy(char* field, const std::string& text) {
        std::strncpy(field, text.c_str(), VORLANE_MAX_PATH - 1);
    }
    void WriteScript(const std::string& version, const std::string& mode) {
        WriteFile(HomePath("script.cfgE"), "[process]\nversion = " + version + "\nmode = " + mode +
                                               "\n\n[card_boot]\nstart = 2048\n");
    }
    int Burn(ToolParam* p) { return m_sarnet->SarnetEntry(p); }
    std::vector<Note> Notes() {
        std::lock_guard<std::mutex> g(m_recorder.lock);
        return m_recorder.notes;
    }
    std::vector<std::string> Boxes() const {
        std::vector<std::string> out;
        for (const auto& b : m_capture.Boxes())
            out.push_back(b.caption + ": " + b.text);
        return out;
    }
    std::vector<uint8_t> Card(uint64_t sector, size_t bytes) {
        std::vector<uint8_t> all = ReadFile(m_cards + "/E.card");
        return std::vector<uint8_t>(all.begin() + sector * 512, all.begin() + sector * 512 + bytes);
    }

    const SarnetTable* m_sarnet = nullptr;
    void *m_crc = nullptr, *m_decoder = nullptr, *m_card = nullptr;
    std::vector<uint8_t> m_table, m_data;
    Recorder m_recorder;
    HWND m_window = nullptr;
    ToolParam m_param;
    InterfaceEntry m_entries[6];
};

std::vector<std::pair<int, std::string>> Texts(const std::vector<Note>& notes) {
    std::vector<std::pair<int, std::string>> out;
    for (const Note& n : notes)
        out.push_back({n.code, n.code == 20 ? "" : n.text});
    return out;
}

TEST_F(SarnetEntryRun, SuccessfulRunNotifiesInOrder) {
    ASSERT_EQ(Burn(&m_param), 0);
    const std::vector<std::pair<int, std::string>> expected = {
        {40, "Start Burning..."},
        {40, "[MBR]Is Burning..."},
        {40, "[MBR]Burn Sucess"},
        {20, ""},
        {40, "[DATA File]Is Burning..."},
        {40, "[DATA File]Burn Sucess"},
        {20, ""},
        {20, ""},
        {20, ""},
        {40, "Magic Complete"},
        {40, "Burn End..."},
        {10, "Burn End..."},
    };
    std::vector<Note> notes = Notes();
    EXPECT_EQ(Texts(notes), expected);
    EXPECT_EQ(notes.back().progress, 100); // 4 additions of 100 / (2 x 2)
    // The items are on the card; the run released its script record.
    EXPECT_EQ(Card(2048, m_table.size()), m_table);
    EXPECT_EQ(Card(2048 + 300, m_data.size()), m_data);
    EXPECT_EQ(m_param.scriptInfo, nullptr);
    EXPECT_EQ(m_param.scriptInfoSize, 0u);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(m_capture.DebugContains("enter sarnet."));
}

TEST_F(SarnetEntryRun, ScriptOfAnotherVersionWritesNoItems) {
    WriteScript("200", "bromrun");
    ASSERT_EQ(Burn(&m_param), 0);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"Error: Image error, use new version image file!"});
    std::vector<Note> notes = Notes();
    ASSERT_GE(notes.size(), 3u);
    EXPECT_EQ(notes.front().text, "Start Burning...");
    for (const Note& n : notes)
        EXPECT_EQ(n.text.find("Is Burning"), std::string::npos);
    EXPECT_EQ(notes.back().code, 10);
    EXPECT_EQ(Card(2048, 512), std::vector<uint8_t>(512, 0)); // no table written
}

TEST_F(SarnetEntryRun, ValidationFailures) {
    struct Case {
        const char* what;
        void (*change)(ToolParam&, InterfaceEntry*);
        int code;
        const char* box;
        const char* diag;
    };
    const Case cases[] = {
        {"size", [](ToolParam& p, InterfaceEntry*) { p.size = 1100; }, 343,
         "Error: Invalid Parameter!", nullptr},
        {"version", [](ToolParam& p, InterfaceEntry*) { p.version = 0x200; }, 343,
         "Error: Invalid Parameter!", nullptr},
        {"magic", [](ToolParam& p, InterfaceEntry*) { std::memcpy(&p.magic, "CARD", 4); }, 343,
         "Error: Invalid Parameter!", nullptr},
        {"script path without terminator",
         [](ToolParam& p, InterfaceEntry*) { std::memset(p.scriptPath, 'a', sizeof p.scriptPath); },
         343, "Error: Invalid Parameter!", nullptr},
        {"image missing",
         [](ToolParam& p, InterfaceEntry*) { std::strcpy(p.imagePath, "/nonexistent/x.img"); }, 353,
         "Error: File (/nonexistent/x.img) NOT Exist !", nullptr},
        {"image path empty", [](ToolParam& p, InterfaceEntry*) { p.imagePath[0] = 0; }, 353,
         "Error: File () NOT Exist !", nullptr},
        {"checksum missing", [](ToolParam&, InterfaceEntry* e) { e[0].id[0] = 'X'; }, 436,
         "Error: Invalid Parameter!", "IsValidInterface Error 0"},
        {"decoder table null", [](ToolParam&, InterfaceEntry* e) { e[1].table = nullptr; }, 436,
         "Error: Invalid Parameter!", "IsValidInterface Error 1"},
        {"card device missing", [](ToolParam&, InterfaceEntry* e) { e[2].id[35] = 0; }, 436,
         "Error: Invalid Parameter!", "IsValidInterface Error 2"},
        {"script parser missing", [](ToolParam& p, InterfaceEntry*) { p.interfaceCount = 3; }, 436,
         "Error: Invalid Parameter!", "IsValidInterface Error 3"},
        {"config parser missing", [](ToolParam&, InterfaceEntry* e) { e[4].id[0] = 'C'; }, 436,
         "Error: Invalid Parameter!", "IsValidInterface Error 4"},
        {"no interface array", [](ToolParam& p, InterfaceEntry*) { p.interfaces = nullptr; }, 436,
         "Error: Invalid Parameter!", "IsValidInterface Error 0"},
    };
    for (const Case& c : cases) {
        SetUp();
        c.change(m_param, m_entries);
        EXPECT_EQ(Burn(&m_param), c.code) << c.what;
        EXPECT_EQ(Boxes(), std::vector<std::string>{c.box}) << c.what;
        if (c.diag) {
            EXPECT_TRUE(m_capture.DebugContains(c.diag)) << c.what;
        }
        const std::vector<std::pair<int, std::string>> expected = {
            {40, "Start Burning..."},
            {40, "Invalid Parameter"},
            {60, "Burn Failed " + std::to_string(c.code)},
        };
        EXPECT_EQ(Texts(Notes()), expected) << c.what;
        EXPECT_EQ(Card(2048, 512), std::vector<uint8_t>(512, 0)) << c.what;
        TearDown();
    }
    SetUp();
}

TEST_F(SarnetEntryRun, NullBlockShowsTheBoxOnly) {
    EXPECT_EQ(Burn(nullptr), 335);
    EXPECT_EQ(Boxes(), std::vector<std::string>{"Error: Invalid Parameter!"});
    EXPECT_TRUE(Notes().empty());
    EXPECT_FALSE(m_capture.DebugContains("enter sarnet."));
}

TEST_F(SarnetEntryRun, SumServiceIsNotNeeded) {
    m_param.interfaceCount = 5;
    EXPECT_EQ(Burn(&m_param), 0);
}

TEST_F(SarnetEntryRun, ItemsPassFailureEndsWithBurnFailed) {
    std::remove((m_cards + "/E.card").c_str()); // no card behind the letter
    VpDriveRefresh();
    int rc = Burn(&m_param);
    ASSERT_NE(rc, 0);
    std::vector<Note> notes = Notes();
    ASSERT_GE(notes.size(), 2u);
    EXPECT_EQ(notes.front().text, "Start Burning...");
    EXPECT_EQ(notes.back().code, 60);
    EXPECT_EQ(notes.back().text, "Burn Failed " + std::to_string(rc));
    for (const Note& n : notes)
        EXPECT_NE(n.text, "Invalid Parameter");
    EXPECT_EQ(m_param.scriptInfo, nullptr);
}

TEST_F(SarnetEntryRun, LanguagesFollowTheCodePage) {
    struct Case {
        const char* codePage;
        const char* start;
        const char* invalid;
        const char* failed;
        const char* box;
    };
    const Case cases[] = {
        {"1252", "Start Burning...", "Invalid Parameter", "Burn Failed 343",
         "Error: Invalid Parameter!"},
        {"936", "开始烧写...", "参数无效", "烧写失败 343", "错误: 无效参数！"},
        {"950", "開始燒寫...", "參數無效", "燒寫失敗 343", "錯誤: 無效參數！"},
    };
    for (const Case& c : cases) {
        SetUp();
        setenv("VORLANE_CODEPAGE", c.codePage, 1);
        m_param.size = 0;
        EXPECT_EQ(Burn(&m_param), 343);
        const std::vector<std::pair<int, std::string>> expected = {
            {40, c.start}, {40, c.invalid}, {60, c.failed}};
        EXPECT_EQ(Texts(Notes()), expected) << c.codePage;
        EXPECT_EQ(Boxes(), std::vector<std::string>{c.box}) << c.codePage;
        TearDown();
    }
    SetUp();
}

TEST_F(SarnetEntryRun, ItemLabelsFollowTheCodePage) {
    // Items of a product-mode-free run carry the same label in both fields;
    // the label language is checked with the message table of 936 here.
    setenv("VORLANE_CODEPAGE", "936", 1);
    ASSERT_EQ(Burn(&m_param), 0);
    std::vector<Note> notes = Notes();
    ASSERT_GE(notes.size(), 3u);
    EXPECT_EQ(notes[2].text, "[MBR]烧写完成");
}

TEST_F(SarnetEntryRun, Exports) {
    std::string path = ModulePath("Sarnet.so");
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto type = reinterpret_cast<GetPlugInTypeFn>(dlsym(lib, "GetPlugInType"));
    auto name = reinterpret_cast<GetPlugInNameFn>(dlsym(lib, "GetPlugInName"));
    auto version = reinterpret_cast<GetPlugInVersionFn>(dlsym(lib, "GetPlugInVersion"));
    auto author = reinterpret_cast<GetAuthorFn>(dlsym(lib, "GetAuthor"));
    auto copyright = reinterpret_cast<GetAuthorFn>(dlsym(lib, "GetCopyRight"));
    auto query = reinterpret_cast<QueryInterfaceFn>(dlsym(lib, "QueryInterface"));
    auto get = reinterpret_cast<GetInterfaceFn>(dlsym(lib, "GetInterface"));
    ASSERT_TRUE(type && name && version && author && copyright && query && get);
    EXPECT_STREQ(type(), "720420d3-fbbe-44a3-83c3-08d35afa1cca");
    EXPECT_STREQ(name(), "sarnet");
    EXPECT_EQ(version(), 256);
    EXPECT_STREQ(author(), "tobrenk");
    EXPECT_EQ(reinterpret_cast<void*>(author), reinterpret_cast<void*>(copyright));
    EXPECT_EQ(query("720420d3-fbbe-44a3-83c3-08d35afa1cca"), 0);
    EXPECT_EQ(query("720420D3-FBBE-44A3-83C3-08D35AFA1CCA"), 54);
    EXPECT_EQ(get("720420D3-FBBE-44A3-83C3-08D35AFA1CCA"), nullptr);
    EXPECT_EQ(get(nullptr), nullptr);
    auto* table = static_cast<const SarnetTable*>(get("720420d3-fbbe-44a3-83c3-08d35afa1cca"));
    ASSERT_NE(table, nullptr);
    m_capture.Clear();
    EXPECT_EQ(table->CardCheckEntry(), 0);
    // Message 20 of the table the last run chose (English before any run).
    EXPECT_TRUE(m_capture.DebugContains("CardCheckEntry "));
    dlclose(lib);
}

// Index of the first debugger line holding `text`, or -1.
int DebugIndex(const std::vector<std::string>& lines, const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
    return -1;
}

TEST_F(SarnetEntryRun, TableUpdateBeforeTheScriptWithTheFirstPartitionOption) {
    m_param.Extension = 100;
    m_param.res = 0x11;
    Burn(&m_param);
    std::vector<std::string> lines = m_capture.Debug();
    int update = DebugIndex(lines, "current Mbr.fex length");
    int parse = DebugIndex(lines, "the mbr file: " + HomePath("mbr_new.fex"));
    ASSERT_GE(update, 0);
    ASSERT_GE(parse, 0);
    EXPECT_LT(update, parse);
}

TEST_F(SarnetEntryRun, NoTableUpdateWithoutTheFirstPartitionSize) {
    m_param.Extension = 0;
    m_param.res = 0x11;
    Burn(&m_param); // the table item then finds no mbr_new.fex
    EXPECT_EQ(DebugIndex(m_capture.Debug(), "current Mbr.fex length"), -1);
    EXPECT_FALSE(FileExists(HomePath("mbr_new.fex")));
}

TEST_F(SarnetEntryRun, ProductScriptUpdatesTheTableAfterParsing) {
    WriteScript("300", "product");
    Burn(&m_param); // the items pass may fail: the image has no product items
    std::vector<std::string> lines = m_capture.Debug();
    int parse = DebugIndex(lines, "the mbr file: " + HomePath("mbr.fex"));
    int behind = DebugIndex(lines, "the image data behind partition");
    int update = DebugIndex(lines, "current Mbr.fex length");
    ASSERT_GE(parse, 0);
    ASSERT_GE(behind, 0);
    EXPECT_LT(parse, behind);
    EXPECT_LT(behind, update);
}

TEST_F(SarnetEntryRun, TableUpdateFailureIsAStepFailure) {
    m_param.Extension = 100;
    m_param.res = 0x11;
    std::remove(HomePath("mbr.fex").c_str());
    int rc = Burn(&m_param);
    ASSERT_NE(rc, 0);
    const std::vector<std::pair<int, std::string>> expected = {
        {40, "Start Burning..."},
        {40, "Create mbr_new.fex Failed!\n"},
        {60, "Burn Failed " + std::to_string(rc)},
    };
    EXPECT_EQ(Texts(Notes()), expected);
}

} // namespace
} // namespace vorlane::test
