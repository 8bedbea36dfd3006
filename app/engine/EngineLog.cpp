#include "EngineLog.h"

#include "VorlanePlatform.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace vorlane::engine {
namespace {

// The one global variable that holds the log table; its address is the logger id.
const TallyraTable* g_pLogTable = nullptr;
std::once_flag g_loadOnce;

} // namespace

void LoadEngineLog() {
    std::call_once(g_loadOnce, [] {
        char path[VORLANE_MAX_PATH];
        if (VpModulePath(path, sizeof path, "Tallyra.so") != 0) return;
        void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!library) return;
        auto getInterface = reinterpret_cast<TallyraGetInterfaceFn>(dlsym(library, "GetInterface"));
        if (!getInterface) return;
        const TallyraTable* table = getInterface(0);
        if (!table || !table->LogInit || !table->LogPrint) return;
        g_pLogTable = table;
        g_pLogTable->LogInit(reinterpret_cast<uintptr_t>(&g_pLogTable), nullptr, "VorlaneCard");
    });
}

void EngineLog(int level, const char* file, int line, const char* function, const char* format,
               ...) {
    const TallyraTable* table = g_pLogTable;
    if (!table) return;
    unsigned lastError = GetLastError();
    char text[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char tag[32];
    if (level >= LOG_LEVEL_ERROR)
        std::snprintf(tag, sizeof tag, "E(%u)", lastError);
    else
        std::snprintf(tag, sizeof tag, "INFO");
    table->LogPrint(reinterpret_cast<uintptr_t>(&g_pLogTable), level, tag, file, line, function,
                    "%s", text);
}

} // namespace vorlane::engine
