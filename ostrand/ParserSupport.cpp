#include "ParserSupport.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vorlane::ostrand {

namespace {
constexpr size_t kMessageSize = 1024;

const char* skipSpace(const char* p) {
    while (*p && std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    return p;
}
} // namespace

int32_t ReadDecimal(const char* text) {
    if (!text) return 0;
    const char* p = skipSpace(text);
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t value = 0;
    const int64_t limit = negative ? int64_t(INT32_MAX) + 1 : int64_t(INT32_MAX);
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p++ - '0');
        if (value > limit) value = limit; // clamp, keep consuming digits
    }
    return static_cast<int32_t>(negative ? -value : value);
}

uint16_t ReadHex16(const char* text) {
    if (!text) return 0;
    const char* p = skipSpace(text);
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        std::isxdigit(static_cast<unsigned char>(p[2])))
        p += 2;
    uint32_t value = 0;
    while (std::isxdigit(static_cast<unsigned char>(*p))) {
        int c = std::tolower(static_cast<unsigned char>(*p++));
        value = ((value << 4) | uint32_t(c <= '9' ? c - '0' : c - 'a' + 10)) & 0xFFFFu;
    }
    return static_cast<uint16_t>(value);
}

void CopyCut(char* destination, const char* source, size_t sourceSize, size_t limit) {
    size_t n = strnlen(source, sourceSize < limit ? sourceSize : limit);
    std::memcpy(destination, source, n);
    destination[n] = '\0';
}

bool IsReadableFile(const char* path) {
    struct stat st {};
    if (!path || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    std::fclose(f);
    return true;
}

void ReportError(const char* source, int line, const char* function, const char* format, ...) {
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    VpDebugPrintf(kMessageSize + 256, "ERROR:%s[%d]\nFUNC:%s:%s\n", source, line, function,
                  message);
}

void ReportPlain(const char* format, ...) {
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    OutputDebugStringA(message);
}

} // namespace vorlane::ostrand
