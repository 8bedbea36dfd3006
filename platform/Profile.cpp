// Private profile files: the read-and-patch access to small INI files that
// the settings and the logger use.
#include "VorlanePlatform.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::mutex g_profileLock; // writers of one process never interleave

std::string trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t\r\n\v\f");
    if (b == std::string::npos) return "";
    size_t e = text.find_last_not_of(" \t\r\n\v\f");
    return text.substr(b, e - b + 1);
}

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::vector<std::string> readLines(const char* path, bool* crlf) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    *crlf = true;
    bool sawLf = false, sawCr = false;
    while (std::getline(in, line)) {
        sawLf = true;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            sawCr = true;
        }
        lines.push_back(line);
    }
    if (sawLf && !sawCr) *crlf = false;
    return lines;
}

// Section header name, or false when the line is no header.
bool headerName(const std::string& line, std::string* name) {
    std::string t = trim(line);
    if (t.size() < 2 || t[0] != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    *name = trim(t.substr(1, close - 1));
    return true;
}

bool keyLine(const std::string& line, std::string* key, std::string* value) {
    std::string t = trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#' || t[0] == '[') return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    *key = trim(t.substr(0, eq));
    *value = trim(t.substr(eq + 1));
    return true;
}

bool lookup(const char* section, const char* key, const char* path, std::string* value) {
    if (!section || !key || !path) return false;
    bool crlf;
    std::vector<std::string> lines = readLines(path, &crlf);
    bool inSection = false;
    for (const std::string& line : lines) {
        std::string name, k, v;
        if (headerName(line, &name)) {
            inSection = sameName(name, section);
        } else if (inSection && keyLine(line, &k, &v) && sameName(k, key)) {
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            *value = v;
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" {

uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                                  char* buffer, uint32_t size, const char* path) {
    if (!buffer || size == 0) return 0;
    std::lock_guard<std::mutex> lock(g_profileLock);
    std::string value;
    if (!lookup(section, key, path, &value)) value = defaultValue ? defaultValue : "";
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return static_cast<uint32_t>(n);
}

int GetPrivateProfileIntA(const char* section, const char* key, int defaultValue, const char* path) {
    std::lock_guard<std::mutex> lock(g_profileLock);
    std::string value;
    if (!lookup(section, key, path, &value)) return defaultValue;
    const char* p = value.c_str();
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    long long n = 0;
    while (*p >= '0' && *p <= '9' && n < 0x80000000LL) n = n * 10 + (*p++ - '0');
    if (n > 0x7FFFFFFFLL) n = 0x7FFFFFFFLL;
    return static_cast<int>(negative ? -n : n);
}

int WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                               const char* path) {
    if (!section || !key || !path) return 0;
    std::lock_guard<std::mutex> lock(g_profileLock);
    bool crlf;
    std::vector<std::string> lines = readLines(path, &crlf);
    std::string wanted = std::string(key) + "=" + (value ? value : "");
    bool inSection = false, done = false;
    long sectionEnd = -1; // index after the section's last non-blank line
    for (size_t i = 0; i < lines.size() && !done; ++i) {
        std::string name, k, v;
        if (headerName(lines[i], &name)) {
            if (inSection) break;
            inSection = sameName(name, section);
            if (inSection) sectionEnd = static_cast<long>(i) + 1;
        } else if (inSection) {
            if (keyLine(lines[i], &k, &v) && sameName(k, key)) {
                lines[i] = wanted;
                done = true;
            } else if (!trim(lines[i]).empty()) {
                sectionEnd = static_cast<long>(i) + 1;
            }
        }
    }
    if (!done) {
        if (sectionEnd < 0) {
            if (!lines.empty() && !trim(lines.back()).empty()) lines.emplace_back("");
            lines.push_back(std::string("[") + section + "]");
            lines.push_back(wanted);
        } else {
            lines.insert(lines.begin() + sectionEnd, wanted);
        }
    }
    std::string temp = std::string(path) + ".new" + std::to_string(getpid());
    FILE* out = std::fopen(temp.c_str(), "wb");
    if (!out) return 0;
    const char* eol = crlf ? "\r\n" : "\n";
    bool ok = true;
    for (const std::string& line : lines)
        if (std::fputs(line.c_str(), out) < 0 || std::fputs(eol, out) < 0) ok = false;
    if (std::fclose(out) != 0) ok = false;
    if (!ok || std::rename(temp.c_str(), path) != 0) {
        std::remove(temp.c_str());
        return 0;
    }
    return 1;
}

} // extern "C"
