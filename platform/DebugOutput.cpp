// Debugger output, code page, message boxes, last error, sleeps and ticks.
#include "VorlanePlatform.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_debugLock;
VpDebugHook g_debugHook = nullptr;
void* g_debugContext = nullptr;

std::mutex g_boxLock;
VpMessageBoxHandler g_boxHandler = nullptr;
void* g_boxContext = nullptr;

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

} // namespace

extern "C" {

void OutputDebugStringA(const char* text) {
    if (!text) return;
    VpDebugHook hook;
    void* context;
    {
        std::lock_guard<std::mutex> lock(g_debugLock);
        hook = g_debugHook;
        context = g_debugContext;
        const char* env = std::getenv("VORLANE_DEBUG");
        if (env && std::strcmp(env, "1") == 0) std::fputs(text, stderr);
    }
    if (hook) hook(text, context);
}

void VpSetDebugHook(VpDebugHook hook, void* context) {
    std::lock_guard<std::mutex> lock(g_debugLock);
    g_debugHook = hook;
    g_debugContext = context;
}

void VpDebugPrintf(size_t bufferSize, const char* format, ...) {
    if (bufferSize == 0 || !format) return;
    std::vector<char> buffer(bufferSize);
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer.data(), bufferSize, format, args);
    va_end(args);
    OutputDebugStringA(buffer.data());
}

unsigned GetACP(void) {
    const char* forced = std::getenv("VORLANE_CODEPAGE");
    if (forced && *forced) return static_cast<unsigned>(std::strtoul(forced, nullptr, 10));
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        if (startsWith(value, "zh_CN") || startsWith(value, "zh_SG")) return 936;
        if (startsWith(value, "zh_TW") || startsWith(value, "zh_HK") || startsWith(value, "zh_MO"))
            return 950;
        return 1252;
    }
    return 1252;
}

void VpSetMessageBoxHandler(VpMessageBoxHandler handler, void* context) {
    std::lock_guard<std::mutex> lock(g_boxLock);
    g_boxHandler = handler;
    g_boxContext = context;
}

int MessageBoxA(HWND owner, const char* text, const char* caption, unsigned type) {
    VpMessageBoxHandler handler;
    void* context;
    {
        std::lock_guard<std::mutex> lock(g_boxLock);
        handler = g_boxHandler;
        context = g_boxContext;
    }
    if (handler) return handler(owner, text ? text : "", caption ? caption : "", type, context);
    std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
    return IDOK;
}

unsigned GetLastError(void) {
    return static_cast<unsigned>(errno);
}

void SetLastError(unsigned error) {
    errno = static_cast<int>(error);
}

void Sleep(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint32_t GetTickCount(void) {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void VpDispatchThreadMessages(void) {}

} // extern "C"
