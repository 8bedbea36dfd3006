// The configuration-parser service config.so through its table.
#include "Interfaces.h"
#include "ServiceTables.h"
#include "TestSupport.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using vorlane::test::ReadFile;
using vorlane::test::WriteFile;

void* Library() {
    static void* lib = [] {
        const char* dir = std::getenv("VORLANE_MODULE_DIR");
        std::string path = std::string(dir && *dir ? dir : VORLANE_TEST_MODULE_DIR) + "/config.so";
        return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }();
    return lib;
}

const ConfigParserTable* Service() {
    if (!Library()) return nullptr;
    auto get = reinterpret_cast<GetInterfaceFn>(dlsym(Library(), "GetInterface"));
    return get ? static_cast<const ConfigParserTable*>(get(VORLANE_IID_CONFIG_PARSER)) : nullptr;
}

class ConfigServiceTest : public vorlane::test::VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        t = Service();
        ASSERT_NE(t, nullptr) << dlerror();
    }
    std::vector<std::string> Names(void* h) {
        std::vector<std::string> names;
        void* cursor = t->BeginSections(h);
        char name[260];
        while (t->NextSection(h, cursor, name) == 0)
            names.push_back(name);
        return names;
    }
    std::string Value(void* h, const char* section, const char* key, int* code = nullptr) {
        char value[260];
        std::memset(value, 0x55, sizeof value);
        int r = t->GetKeyString(h, section, key, value);
        if (code) *code = r;
        return r == 0 ? std::string(value) : std::string("<missing>");
    }
    const ConfigParserTable* t = nullptr;
};

TEST_F(ConfigServiceTest, ExportsAndTable) {
    auto name = reinterpret_cast<GetPlugInNameFn>(dlsym(Library(), "GetPlugInName"));
    auto type = reinterpret_cast<GetPlugInTypeFn>(dlsym(Library(), "GetPlugInType"));
    auto query = reinterpret_cast<QueryInterfaceFn>(dlsym(Library(), "QueryInterface"));
    auto get = reinterpret_cast<GetInterfaceFn>(dlsym(Library(), "GetInterface"));
    ASSERT_TRUE(name && type && query && get);
    EXPECT_STREQ(name(), "config");
    EXPECT_STREQ(type(), VORLANE_IID_CONFIG_PARSER);
    EXPECT_EQ(query(VORLANE_IID_CONFIG_PARSER), 0);
    EXPECT_NE(query("CD1BC3B8-AFEA-403E-BCA0-016E4AFD92A6"), 0); // ids compare byte for byte
    EXPECT_EQ(get("other"), nullptr);
    EXPECT_EQ(t->reserved2, nullptr);
    for (void* slot :
         {t->reserved6, t->reserved7, t->reserved8, t->reserved9, t->reserved10, t->reserved11})
        EXPECT_EQ(slot, nullptr);
}

// The config.cfg that ships in the module directory names the work items.
TEST_F(ConfigServiceTest, ShippedConfigFile) {
    std::string path = ModulePath("config.cfg");
    auto bytes = ReadFile(path);
    ASSERT_FALSE(bytes.empty());
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\n') {
            ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << "LF without CR at " << i;
        }
    ASSERT_EQ(bytes.back(), '\n');

    void* h = t->OpenConfig(path.c_str(), 0);
    ASSERT_NE(h, nullptr);
    uint32_t count = 0;
    EXPECT_EQ(t->GetSectionCount(h, &count), 0);
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(Names(h), (std::vector<std::string>{"system", "usb", "card", "script", "mbr", "gpt",
                                                  "dlinfo", "Img File"}));
    const char* items[][3] = {{"card", "12345678", "CARDTOOL00000000"},
                              {"script", "12345678", "1234567890SCRIPT"},
                              {"mbr", "12345678", "1234567890___MBR"},
                              {"gpt", "12345678", "1234567890___GPT"},
                              {"dlinfo", "12345678", "1234567890DLINFO"}};
    for (auto& item : items) {
        EXPECT_EQ(Value(h, item[0], "main"), item[1]);
        EXPECT_EQ(Value(h, item[0], "sub"), item[2]);
    }
    EXPECT_NE(Value(h, "system", "ver"), "<missing>");
    EXPECT_NE(Value(h, "usb", "pid"), "<missing>");
    EXPECT_NE(Value(h, "usb", "vid"), "<missing>");
    EXPECT_EQ(Value(h, "Img File", "path"), "");
    EXPECT_EQ(t->CloseConfig(h), 0);
}

TEST_F(ConfigServiceTest, SectionsLookupsAndCodes) {
    std::string path = m_root + "/script.cfg";
    std::string longValue(400, 'v');
    WriteFile(path, "before = header\r\n[process]\r\nversion = 300\r\nmode=product ; c\r\n"
                    "[ box0 ]\r\nMain = a\r\nlong = " +
                        longValue +
                        "\r\n[mbr]\r\nstart=32768\r\n"
                        "path = /x/[y].img\r\n");
    void* h = t->OpenConfig(path.c_str(), 0);
    ASSERT_NE(h, nullptr);
    uint32_t count = 0;
    ASSERT_EQ(t->GetSectionCount(h, &count), 0);
    EXPECT_EQ(count, 3u); // the unnamed leading part is no section
    EXPECT_EQ(Names(h), (std::vector<std::string>{"process", " box0 ", "mbr"}));

    EXPECT_EQ(Value(h, "PROCESS", "Version"), "300");
    EXPECT_EQ(Value(h, "process", "mode"), "product ");
    EXPECT_EQ(Value(h, " box0 ", "main"), "a");
    EXPECT_EQ(Value(h, "mbr", "path"), "/x/[y].img");

    char value[300];
    std::memset(value, 0x55, sizeof value);
    ASSERT_EQ(t->GetKeyString(h, " box0 ", "long", value), 0);
    EXPECT_EQ(std::string(value), longValue.substr(0, 259));
    EXPECT_EQ(static_cast<unsigned char>(value[260]), 0x55); // nothing past 260 bytes

    struct Bad {
        const char* section;
        const char* key;
        int code;
    } bad[] = {{"process", "startpos", 13}, {"nosuch", "version", 13}, {"", "before", 0}};
    for (auto& b : bad) {
        int code = -1;
        Value(h, b.section, b.key, &code);
        EXPECT_EQ(code, b.code) << b.section << "/" << b.key;
    }
    std::string longName(300, 'k');
    EXPECT_EQ(t->GetKeyString(h, "process", longName.c_str(), value), 14);
    EXPECT_EQ(t->GetKeyString(h, "process", nullptr, value), 12);
    EXPECT_EQ(t->GetSectionCount(h, nullptr), 12);

    // Cursors are per handle; a walk ends with a code, not a name.
    void* other = t->OpenConfig(path.c_str(), 0);
    ASSERT_NE(other, nullptr);
    void* foreign = t->BeginSections(other);
    char name[260];
    EXPECT_EQ(t->NextSection(h, foreign, name), 16);
    void* cursor = t->BeginSections(h);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(t->NextSection(h, cursor, name), 0);
    EXPECT_EQ(t->NextSection(h, cursor, name), 15);

    EXPECT_EQ(t->CloseConfig(other), 0);
    EXPECT_EQ(t->CloseConfig(h), 0);
    EXPECT_EQ(t->CloseConfig(h), 11);
    EXPECT_EQ(t->GetSectionCount(h, &count), 11);
    EXPECT_EQ(t->GetKeyString(h, "process", "version", value), 11);
    EXPECT_EQ(t->BeginSections(h), nullptr);
}

TEST_F(ConfigServiceTest, OpenRefusesWhatIsNoReadableFile) {
    EXPECT_EQ(t->OpenConfig(nullptr, 0), nullptr);
    EXPECT_EQ(t->OpenConfig((m_root + "/missing.cfg").c_str(), 0), nullptr);
    EXPECT_EQ(t->OpenConfig(m_root.c_str(), 0), nullptr);
    // An empty file opens and has no sections.
    std::string empty = m_root + "/empty.cfg";
    WriteFile(empty, "");
    void* h = t->OpenConfig(empty.c_str(), 0);
    ASSERT_NE(h, nullptr);
    uint32_t count = 7;
    EXPECT_EQ(t->GetSectionCount(h, &count), 0);
    EXPECT_EQ(count, 0u);
    t->CloseConfig(h);
}

TEST_F(ConfigServiceTest, HandlesFromSeveralThreads) {
    std::string path = m_root + "/c.cfg";
    std::string text;
    for (int s = 0; s < 20; ++s) {
        text += "[s" + std::to_string(s) + "]\r\n";
        for (int k = 0; k < 10; ++k)
            text += "k" + std::to_string(k) + " = " + std::to_string(s * 100 + k) + "\r\n";
    }
    WriteFile(path, text);
    void* shared = t->OpenConfig(path.c_str(), 0);
    ASSERT_NE(shared, nullptr);
    std::atomic<int> wrong{0};
    std::vector<std::thread> pool;
    for (int n = 0; n < 4; ++n)
        pool.emplace_back([&, n] {
            void* own = t->OpenConfig(path.c_str(), 0);
            for (int round = 0; round < 50; ++round) {
                for (void* h : {own, shared}) {
                    int s = (n + round) % 20, k = round % 10;
                    char value[260];
                    std::string section = "s" + std::to_string(s), key = "k" + std::to_string(k);
                    if (t->GetKeyString(h, section.c_str(), key.c_str(), value) != 0 ||
                        std::to_string(s * 100 + k) != value)
                        ++wrong;
                    void* cursor = t->BeginSections(h);
                    char name[260];
                    int walked = 0;
                    while (t->NextSection(h, cursor, name) == 0)
                        ++walked;
                    if (walked != 20) ++wrong;
                }
            }
            t->CloseConfig(own);
        });
    for (auto& th : pool)
        th.join();
    EXPECT_EQ(wrong, 0);
    t->CloseConfig(shared);
}

} // namespace
