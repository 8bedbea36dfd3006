#include "CardFunLog.h"

#include "VorlanePlatform.h"

#include <dlfcn.h>

#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace vorlane::cardfun {

namespace {

// The logger id is the address of the variable that holds the table.
const TallyraTable* g_logTable = nullptr;

uintptr_t LogId() {
    return reinterpret_cast<uintptr_t>(&g_logTable);
}

void LogVa(int level, const char* file, int line, const char* function, const char* format,
           va_list args) {
    int error = errno;
    const TallyraTable* table = g_logTable;
    if (!table || !table->LogPrint) return;
    char text[4096];
    vsnprintf(text, sizeof text, format, args);
    char tag[32];
    if (level == LOG_LEVEL_ERROR)
        snprintf(tag, sizeof tag, "E(%d)", error);
    else
        snprintf(tag, sizeof tag, "INFO");
    table->LogPrint(LogId(), level, tag, file, line, function, "%s", text);
}

} // namespace

void LogOpen() {
    if (g_logTable) return;
    char path[VORLANE_MAX_PATH];
    if (VpModulePath(path, sizeof path, "Tallyra.so") != 0) return;
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!library) return;
    auto get = reinterpret_cast<TallyraGetInterfaceFn>(dlsym(library, "GetInterface"));
    const TallyraTable* table = get ? get(0) : nullptr;
    if (!table) return;
    g_logTable = table;
    if (table->LogInit) table->LogInit(LogId(), nullptr, "VorlaneCardFun");
}

const TallyraTable* LogTable() {
    return g_logTable;
}

void LogInfo(const char* file, int line, const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogVa(LOG_LEVEL_INFO, file, line, function, format, args);
    va_end(args);
}

void LogError(const char* file, int line, const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogVa(LOG_LEVEL_ERROR, file, line, function, format, args);
    va_end(args);
}

void FacadeDebug(const char* format, ...) {
    // The texts are formatted under the Chinese locale and then set back to "C".
    static std::mutex localeLock;
    char text[4096];
    {
        std::lock_guard<std::mutex> lock(localeLock);
        setlocale(LC_ALL, "zh_CN.UTF-8");
        va_list args;
        va_start(args, format);
        vsnprintf(text, 4090, format, args);
        va_end(args);
        setlocale(LC_ALL, "C");
    }
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t' ||
                          text[length - 1] == '\r' || text[length - 1] == '\n'))
        --length;
    text[length++] = '\r';
    text[length++] = '\n';
    text[length] = '\0';
    OutputDebugStringA(text);
}

bool FormatText(char* buffer, size_t size, const char* format, ...) {
    if (!buffer || size == 0) return false;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, size, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

void FormatLetterCode(char* buffer, size_t size, const char* format, char letter, int code) {
    if (!buffer || size == 0) return;
    // Accept exactly one %c followed by one %d (flags and width allowed).
    std::string want = "cd";
    std::string seen;
    bool valid = format != nullptr;
    for (const char* p = format; valid && *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        while (*p && strchr("-+ #0123456789", *p))
            ++p;
        if (*p == 'c' || *p == 'd')
            seen += *p;
        else
            valid = false;
        if (!*p) break;
    }
    if (!valid || seen != want) format = "Drive %c failed: %d";
    snprintf(buffer, size, format, letter, code);
}

} // namespace vorlane::cardfun
