// Exports of the logging library: GetInterface and its five-slot table.
#include "Export.h"
#include "FastLog.h"
#include "LibraryTables.h"
#include "VorlanePlatform.h"

#include <cstdarg>
#include <map>
#include <shared_mutex>

namespace vorlane::tallyra {

namespace {

// Loggers and notifiers are registered by LogInit and live until the process
// ends; lookups from the writing threads only take the shared lock.
std::shared_mutex g_mapLock;
std::map<uintptr_t, std::unique_ptr<CFastLog>> g_loggers;
std::map<uintptr_t, std::unique_ptr<CDebugBase>> g_notifiers;

CLayoutBase& layout() {
    static CLayoutBase formatter;
    return formatter;
}

CFastLog* findLogger(uintptr_t id) {
    std::shared_lock<std::shared_mutex> lock(g_mapLock);
    auto it = g_loggers.find(id);
    return it == g_loggers.end() ? nullptr : it->second.get();
}

CDebugBase* findNotifier(uintptr_t id) {
    std::shared_lock<std::shared_mutex> lock(g_mapLock);
    auto it = g_notifiers.find(id);
    return it == g_notifiers.end() ? nullptr : it->second.get();
}

int LogInit(uintptr_t id, const char* configPath, const char* section) {
    layout();
    char defaultPath[4096];
    if (!configPath) {
        if (VpModulePath(defaultPath, sizeof defaultPath, "log.ini") != 0) defaultPath[0] = '\0';
        configPath = defaultPath;
    }
    std::unique_lock<std::shared_mutex> lock(g_mapLock);
    // A second LogInit for an id changes nothing (and creates no files).
    if (g_loggers.count(id) == 0) {
        LogConfig config;
        ReadLogConfig(configPath, section, &config);
        g_loggers[id].reset(new CFastLog(id, config));
        if (g_notifiers.count(id) == 0) {
            if (config.debugmode == DebugModeMessageBox)
                g_notifiers[id].reset(new CMessageBoxDebug(id, config.prefix));
            else
                g_notifiers[id].reset(new CNullDebug(id));
        }
    }
    return 0;
}

int LogPrint(uintptr_t id, int level, const char* tag, const char* file, int line,
             const char* function, const char* format, ...) {
    CFastLog* logger = findLogger(id);
    if (!logger) return 0;
    va_list args;
    va_start(args, format);
    int length = 0;
    const char* text = layout().Format(tag, file, line, function, format, args, &length);
    va_end(args);
    logger->Write(text, length);
    if (CDebugBase* notifier = findNotifier(id)) notifier->Notify(level, text, length);
    return 0;
}

int LogWrite(uintptr_t id, const char* text, int length) {
    CFastLog* logger = findLogger(id);
    if (!logger || !text || length <= 0) return 0;
    logger->Write(text, length);
    return 0;
}

const TallyraTable g_table = {&LogInit, nullptr, nullptr, &LogPrint, &LogWrite};

} // namespace

} // namespace vorlane::tallyra

VORLANE_EXPORT const TallyraTable* GetInterface(int) {
    return &vorlane::tallyra::g_table;
}
