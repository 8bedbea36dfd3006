// config.so: the configuration-parser service, an INI reader over the
// shared parser (the card-functions library's variant: a "[" inside a key
// line such as "path = /x/[a].img" stays part of the value).
//
// Each OpenConfig gives a handle with its own parsed model and its own
// cursors; handles are checked against the set of live ones, and every
// operation on one handle runs under that handle's lock, so that handles
// may be used from several threads.
//
// Sections: only named sections count and are walked; the unnamed part of
// a file before its first header is not a section (a file starting with
// "[process]" and holding [process], [box0], [mbr] has three). Names are
// given as stored between the brackets.
//
// Values: GetKeyString copies at most 259 bytes and a NUL.
//
// Codes (0 = success):
//   11  unknown or closed handle
//   12  null argument
//   13  section or key not found
//   14  section or key name longer than 259 bytes (never found)
//   15  no further section (NextSection)
//   16  cursor does not belong to this handle
#include "PluginExports.h"
#include "IniParasor.h"
#include "Interfaces.h"
#include "ServiceTables.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace {

constexpr int kBadHandle = 11;
constexpr int kNullArgument = 12;
constexpr int kNotFound = 13;
constexpr int kNameTooLong = 14;
constexpr int kNoMoreSections = 15;
constexpr int kBadCursor = 16;
constexpr size_t kText = 260;

struct Cursor {
    size_t next = 0; // index into Config::named
};

struct Config {
    explicit Config(const char* path) : ini(path) {
        const auto& sections = ini.Sections();
        for (size_t i = 0; i < sections.size(); ++i)
            if (sections[i].name[0] != '\0') named.push_back(i);
    }
    std::mutex lock;
    vorlane::cardfun::IniParasor ini;
    std::vector<size_t> named; // indices of the named sections, in file order
    std::vector<std::unique_ptr<Cursor>> cursors;
};

std::mutex g_handlesLock;
std::set<Config*> g_handles;

// Runs `op` on a live handle under its lock; kBadHandle for any other pointer.
template <class Op> int withConfig(void* handle, Op op) {
    std::unique_lock<std::mutex> registry(g_handlesLock);
    auto it = g_handles.find(static_cast<Config*>(handle));
    if (it == g_handles.end()) return kBadHandle;
    Config* config = *it;
    std::lock_guard<std::mutex> lock(config->lock);
    registry.unlock(); // CloseConfig takes the handle lock before deleting
    return op(*config);
}

void copyText(char* destination, const char* source) {
    size_t n = strnlen(source, kText - 1);
    std::memcpy(destination, source, n);
    destination[n] = '\0';
}

void* OpenConfig(const char* path, int) {
    if (!path) return nullptr;
    struct stat st {};
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    FILE* probe = std::fopen(path, "rb");
    if (!probe) return nullptr;
    std::fclose(probe);
    auto* config = new Config(path);
    std::lock_guard<std::mutex> registry(g_handlesLock);
    g_handles.insert(config);
    return config;
}

int CloseConfig(void* handle) {
    Config* config = nullptr;
    {
        std::lock_guard<std::mutex> registry(g_handlesLock);
        auto it = g_handles.find(static_cast<Config*>(handle));
        if (it == g_handles.end()) return kBadHandle;
        config = *it;
        g_handles.erase(it);
    }
    // Wait for an operation still running on another thread.
    { std::lock_guard<std::mutex> lock(config->lock); }
    delete config;
    return 0;
}

int GetSectionCount(void* handle, uint32_t* count) {
    if (!count) return kNullArgument;
    return withConfig(handle, [&](Config& c) {
        *count = static_cast<uint32_t>(c.named.size());
        return 0;
    });
}

void* BeginSections(void* handle) {
    void* cursor = nullptr;
    withConfig(handle, [&](Config& c) {
        c.cursors.emplace_back(new Cursor());
        cursor = c.cursors.back().get();
        return 0;
    });
    return cursor;
}

int NextSection(void* handle, void* cursor, char* name260) {
    if (!cursor || !name260) return kNullArgument;
    return withConfig(handle, [&](Config& c) {
        Cursor* found = nullptr;
        for (auto& own : c.cursors)
            if (own.get() == cursor) found = own.get();
        if (!found) return kBadCursor;
        if (found->next >= c.named.size()) return kNoMoreSections;
        copyText(name260, c.ini.Sections()[c.named[found->next++]].name);
        return 0;
    });
}

int GetKeyString(void* handle, const char* section, const char* key, char* value260) {
    if (!section || !key || !value260) return kNullArgument;
    if (strnlen(section, kText) >= kText || strnlen(key, kText) >= kText) return kNameTooLong;
    return withConfig(handle, [&](Config& c) {
        int s = -1, e = -1;
        if (c.ini.FindKey(section, key, &s, &e) != 0) return kNotFound;
        copyText(value260, c.ini.Sections()[size_t(s)].entries[size_t(e)].value);
        return 0;
    });
}

const ConfigParserTable g_table = {
    &OpenConfig, &CloseConfig, nullptr, &GetSectionCount, &BeginSections, &NextSection,  nullptr,
    nullptr,     nullptr,      nullptr, nullptr,          nullptr,        &GetKeyString,
};


} // namespace

VORLANE_SERVICE_EXPORTS("config", VORLANE_IID_CONFIG_PARSER, 256, g_table)
