// Ostrand.so ("ParserMgr"): the registry of file parsers and its exports.
//
// Registry codes: SetParser 106 (null argument), 119 (no such name);
// AddParser 129 (null or empty argument), 143 (registry full);
// RemoveParser 153 (null name), 167 (no such name). The "script_ini"
// entry refuses an output size other than sizeof(ScriptInfo) with 767,
// "config_ini" one other than 168 with 26.
#include "Export.h"
#include "Interfaces.h"
#include "LibraryTables.h"
#include "Parsers.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace vorlane::ostrand {

namespace {

const char* ConfigParserId() {
    return VORLANE_IID_CONFIG_PARSER;
}

int ScriptIniParse(void* output, uint32_t size, const char* path, const void* table) {
    if (size != sizeof(ScriptInfo)) return 767;
    return ParseScriptInfo(static_cast<ScriptInfo*>(output), path,
                           static_cast<const ConfigParserTable*>(table));
}

int ConfigIniParse(void* output, uint32_t size, const char* path, const void* table) {
    if (size != sizeof(ConfigInfo)) return 26;
    return ParseConfigInfo(static_cast<const ConfigParserTable*>(table),
                           static_cast<ConfigInfo*>(output), path);
}

ParserEntry g_registry[PARSER_REGISTRY_CAPACITY] = {
    {"script_ini", &ScriptIniParse, &ConfigParserId},
    {"config_ini", &ConfigIniParse, &ConfigParserId},
};
std::mutex g_registryLock;
std::atomic<int> g_state{0};

// The entry's name (NUL-padded, a 16-character name without terminator)
// equals `name` as a whole; free entries match nothing.
bool named(const ParserEntry& entry, const char* name) {
    size_t length = strnlen(entry.name, sizeof entry.name);
    return length > 0 && strnlen(name, sizeof entry.name + 1) == length &&
           std::memcmp(entry.name, name, length) == 0;
}

ParserEntry* find(const char* name) {
    for (ParserEntry& entry : g_registry)
        if (named(entry, name)) return &entry;
    return nullptr;
}

int Init(int) {
    g_state = 2;
    return 0;
}
int Exit(int) {
    return 0;
}
int GetState() {
    return g_state;
}
int GetParserCapacity() {
    return PARSER_REGISTRY_CAPACITY;
}

ParserEntry* FindParser(const char* name) {
    if (!name) return nullptr;
    std::lock_guard<std::mutex> lock(g_registryLock);
    return find(name);
}

int SetParser(const char* name, ParserParseFn parse, ParserInterfaceIdFn id) {
    if (!name || !parse || !id) return 106;
    std::lock_guard<std::mutex> lock(g_registryLock);
    ParserEntry* entry = find(name);
    if (!entry) return 119;
    entry->parse = parse;
    entry->interfaceId = id;
    return 0;
}

int AddParser(const char* name, ParserParseFn parse, ParserInterfaceIdFn id) {
    // An empty name would leave the entry looking free.
    if (!name || !*name || !parse || !id) return 129;
    std::lock_guard<std::mutex> lock(g_registryLock);
    for (ParserEntry& entry : g_registry) {
        if (entry.name[0] != '\0') continue;
        std::memset(entry.name, 0, sizeof entry.name);
        std::memcpy(entry.name, name, strnlen(name, sizeof entry.name));
        entry.parse = parse;
        entry.interfaceId = id;
        return 0;
    }
    return 143;
}

int RemoveParser(const char* name) {
    if (!name) return 153;
    std::lock_guard<std::mutex> lock(g_registryLock);
    ParserEntry* entry = find(name);
    if (!entry) return 167;
    std::memset(static_cast<void*>(entry), 0, sizeof *entry);
    return 0;
}

ParserEntry* GetParserAt(int index) {
    if (index < 0 || index >= PARSER_REGISTRY_CAPACITY) return nullptr;
    return &g_registry[index];
}

const OstrandTable g_table = {&Init,       &Exit,      &GetState,  &GetParserCapacity,
                              &FindParser, &SetParser, &AddParser, &RemoveParser,
                              &GetParserAt};

constexpr int kNoSuchInterface = 86;

} // namespace

} // namespace vorlane::ostrand

VORLANE_EXPORT const char* GetPlugInType() {
    return VORLANE_IID_OSTRAND;
}
VORLANE_EXPORT const char* GetPlugInName() {
    return "ParserMgr";
}
VORLANE_EXPORT int GetPlugInVersion() {
    return 256;
}
VORLANE_EXPORT const char* GetAuthor() {
    return "tobrenk";
}
VORLANE_EXPORT const char* GetCopyRight() {
    return GetAuthor();
}
VORLANE_EXPORT int QueryInterface(const char* id) {
    return id && std::strcmp(id, VORLANE_IID_OSTRAND) == 0 ? 0 : vorlane::ostrand::kNoSuchInterface;
}
VORLANE_EXPORT void* GetInterface(const char* id) {
    if (!id || std::strcmp(id, VORLANE_IID_OSTRAND) != 0) return nullptr;
    return const_cast<OstrandTable*>(&vorlane::ostrand::g_table);
}
