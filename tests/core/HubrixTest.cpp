// The plug-in centre: loading by load record, tables by id, failures, unload
// and reload of a replaced file, one manager per process.
#include "Interfaces.h"
#include "ServiceTables.h"
#include "TestSupport.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using namespace vorlane::test;

struct TestTable {
    int (*Value)(void);
};

std::string Plugin(const std::string& name) {
    return std::string(CORE_PLUGIN_DIR) + "/" + name + ".so";
}

int Load(const std::string& id, const std::string& path) {
    PluginLoadRecord record;
    std::memset(&record, 0, sizeof record);
    std::strncpy(record.id, id.c_str(), sizeof record.id - 1);
    std::strncpy(record.path, path.c_str(), sizeof record.path - 1);
    return PluginCenter()->LoadPlugin(&record);
}

int ValueOf(const std::string& id) {
    auto* table = static_cast<const TestTable*>(PluginCenter()->GetPluginInterface(id.c_str()));
    return table ? table->Value() : -1;
}

// Replaces `to` by a copy of `from`: in place (same inode) or by rename (new inode).
void Replace(const std::string& from, const std::string& to, bool inPlace) {
    const auto bytes = ReadFile(from);
    if (inPlace) {
        WriteFile(to, bytes);
    } else {
        WriteFile(to + ".new", bytes);
        ASSERT_EQ(rename((to + ".new").c_str(), to.c_str()), 0);
    }
}

class CoreHubrix : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        ASSERT_NE(PluginCenter(), nullptr);
    }
};

TEST_F(CoreHubrix, LoadsByBareNameAndComparesIdsByteForByte) {
    ASSERT_NE(Load(VORLANE_IID_CHECKSUM, "crc32.so"), 0);
    auto* crc =
        static_cast<const ChecksumTable*>(PluginCenter()->GetPluginInterface(VORLANE_IID_CHECKSUM));
    ASSERT_NE(crc, nullptr);
    EXPECT_NE(crc->CrcBegin, nullptr);
    EXPECT_EQ(PluginCenter()->GetPluginInterface("49B6715E-7BDF-4CC8-AB80-52415D73D677"), nullptr);
    EXPECT_EQ(PluginCenter()->GetPluginInterface("49b6715e-7bdf-4cc8-ab80-52415d73d67"), nullptr);
    EXPECT_EQ(PluginCenter()->GetPluginInterface(nullptr), nullptr);
    EXPECT_EQ(PluginCenter()->UnloadPlugin(VORLANE_IID_CHECKSUM), 0);
    EXPECT_EQ(PluginCenter()->GetPluginInterface(VORLANE_IID_CHECKSUM), nullptr);
    EXPECT_NE(PluginCenter()->UnloadPlugin(VORLANE_IID_CHECKSUM), 0) << "not loaded any more";
}

TEST_F(CoreHubrix, SameIdTwiceKeepsTheFirstLibrary) {
    ASSERT_NE(Load("core-twice", Plugin("core_plugin_a")), 0);
    EXPECT_NE(Load("core-twice", Plugin("core_plugin_b")), 0);
    EXPECT_EQ(ValueOf("core-twice"), 1);
    EXPECT_EQ(PluginCenter()->UnloadPlugin("core-twice"), 0);
    EXPECT_EQ(ValueOf("core-twice"), -1) << "one unload removes it: it was loaded once";
}

TEST_F(CoreHubrix, FailuresGiveZeroAndOneDebugLineNamingTheFile) {
    const std::string text = HomePath("not-a-library.so");
    WriteFile(text, std::string(200, '#')); // longer than an ELF header
    struct {
        std::string path, reason;
    } cases[] = {
        {HomePath("missing.so"), "No such file"},
        {"core_no_such_module.so", "No such file"}, // bare name, module directory
        {text, "ELF"},
        {Plugin("core_plugin_noexport"), "GetInterface"},
        {Plugin("core_plugin_notable"), "no table"},
        {Plugin("core_plugin_refuse"), "QueryInterface"},
    };
    for (const auto& c : cases) {
        m_capture.Clear();
        EXPECT_EQ(Load("core-fail", c.path), 0) << c.path;
        EXPECT_EQ(PluginCenter()->GetPluginInterface("core-fail"), nullptr) << c.path;
        const auto lines = m_capture.Debug();
        ASSERT_EQ(lines.size(), 1u) << c.path;
        const std::string base = c.path.substr(c.path.rfind('/') + 1);
        EXPECT_NE(lines[0].find(base), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find(c.reason), std::string::npos) << lines[0];
    }
    m_capture.Clear();
    EXPECT_EQ(Load("", Plugin("core_plugin_a")), 0);
    EXPECT_EQ(PluginCenter()->LoadPlugin(nullptr), 0);
}

TEST_F(CoreHubrix, ReloadAfterUnloadMapsTheReplacedFile) {
    struct {
        const char *first, *second;
        bool inPlace;
        int firstValue, secondValue;
    } cases[] = {
        {"core_plugin_a", "core_plugin_b", false, 1, 2},
        {"core_plugin_b", "core_plugin_a", true, 2, 1},
        // dlclose cannot unmap these: the reload must still give the new code.
        {"core_plugin_sticky_a", "core_plugin_sticky_b", false, 3, 4},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string card = HomePath("card" + std::to_string(n++) + ".scj");
        Replace(Plugin(c.first), card, false);
        ASSERT_NE(Load(VORLANE_IID_SARNET, card), 0) << c.first;
        EXPECT_EQ(ValueOf(VORLANE_IID_SARNET), c.firstValue);
        ASSERT_EQ(PluginCenter()->UnloadPlugin(VORLANE_IID_SARNET), 0);
        Replace(Plugin(c.second), card, c.inPlace);
        ASSERT_NE(Load(VORLANE_IID_SARNET, card), 0) << c.second;
        EXPECT_EQ(ValueOf(VORLANE_IID_SARNET), c.secondValue) << c.first << " -> " << c.second;
        // And back again once more.
        ASSERT_EQ(PluginCenter()->UnloadPlugin(VORLANE_IID_SARNET), 0);
        Replace(Plugin(c.first), card, false);
        ASSERT_NE(Load(VORLANE_IID_SARNET, card), 0);
        EXPECT_EQ(ValueOf(VORLANE_IID_SARNET), c.firstValue);
        ASSERT_EQ(PluginCenter()->UnloadPlugin(VORLANE_IID_SARNET), 0);
    }
}

TEST_F(CoreHubrix, OneManagerPerProcess) {
    const std::string hubrix = ModulePath("Hubrix.so");
    const std::string link = HomePath("Hubrix.so");
    ASSERT_EQ(symlink(hubrix.c_str(), link.c_str()), 0);
    for (const std::string& path : {hubrix, link}) {
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        auto get = reinterpret_cast<GetPluginManFn>(dlsym(library, "GetPluginMan"));
        ASSERT_NE(get, nullptr);
        EXPECT_EQ(get(), PluginCenter()) << path;
        dlclose(library);
    }
    // Still the same live manager after those handles were closed.
    ASSERT_NE(Load("core-after-close", Plugin("core_plugin_a")), 0);
    EXPECT_EQ(ValueOf("core-after-close"), 1);
    EXPECT_EQ(PluginCenter()->UnloadPlugin("core-after-close"), 0);
}

TEST_F(CoreHubrix, LoadsAndUnloadsFromSeveralThreads) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &failures] {
            const std::string id = "core-thread-" + std::to_string(t);
            const std::string path = Plugin(t % 2 ? "core_plugin_a" : "core_plugin_b");
            for (int round = 0; round < 50; ++round) {
                if (!Load(id, path) || ValueOf(id) != (t % 2 ? 1 : 2) ||
                    PluginCenter()->UnloadPlugin(id.c_str()) != 0)
                    ++failures;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
