// Language plug-in: texts by numeric id from a UTF-8 language file of INI
// form, one section per language ([en], [zh_CN], [zh_TW]) of "id = text"
// lines. The section is chosen by the ANSI code page (936 Simplified
// Chinese, 950 Traditional Chinese, anything else English); an id missing
// from that section is answered from [en], an unknown id with "".
//
// The same source is built twice (Vocabraex.so for the main program,
// Vocabraex_1.so for the card-functions library); each build keeps its own
// texts. VOCABRAEX_IID and VOCABRAEX_NAME come from the build.
#include "PluginExports.h"
#include "Interfaces.h"
#include "ServiceTables.h"
#include "VorlanePlatform.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#ifndef VOCABRAEX_IID
#error "VOCABRAEX_IID must name the interface id of this build"
#endif

namespace {

enum Language { kEnglish = 0, kSimplified = 1, kTraditional = 2, kLanguages = 3 };

std::mutex g_lock;
std::map<int, std::string> g_texts[kLanguages];

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.substr(b, e - b);
}

bool SameName(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// "\n" becomes a line break, "\t" a tab and "\\" one backslash; any other
// backslash stays as it is.
std::string Unescape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char next = s[i + 1];
            if (next == 'n' || next == 't' || next == '\\') {
                out += next == 'n' ? '\n' : next == 't' ? '\t' : '\\';
                ++i;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

bool ParseId(const std::string& key, int* id) {
    if (key.empty() || key.size() > 9) return false;
    for (char c : key)
        if (c < '0' || c > '9') return false;
    *id = std::atoi(key.c_str());
    return true;
}

int LoadLanguageFile(const char* path) {
    if (!path || !*path) return 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        VpDebugPrintf(512, "%s: cannot read the language file %s: %s\n", VOCABRAEX_NAME, path,
                      std::strerror(errno));
        return 0;
    }
    std::map<int, std::string> texts[kLanguages];
    int section = -1; // lines before the first known section are ignored
    std::string line;
    bool firstLine = true;
    while (std::getline(in, line)) {
        if (firstLine && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        firstLine = false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            std::string name =
                Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            section = SameName(name, "en")      ? kEnglish
                      : SameName(name, "zh_CN") ? kSimplified
                      : SameName(name, "zh_TW") ? kTraditional
                                                : -1;
            continue;
        }
        size_t equals = line.find('=');
        if (section < 0 || equals == std::string::npos) continue;
        int id = 0;
        if (!ParseId(Trim(line.substr(0, equals)), &id)) continue;
        texts[section][id] = Unescape(Trim(line.substr(equals + 1)));
    }
    std::lock_guard<std::mutex> lock(g_lock);
    for (int i = 0; i < kLanguages; ++i)
        g_texts[i].swap(texts[i]);
    return 1;
}

const char* GetText(int id, int /*flags*/) {
    unsigned codePage = GetACP();
    int language = codePage == 936 ? kSimplified : codePage == 950 ? kTraditional : kEnglish;
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_texts[language].find(id);
    if (it != g_texts[language].end()) return it->second.c_str();
    it = g_texts[kEnglish].find(id);
    if (it != g_texts[kEnglish].end()) return it->second.c_str();
    return "";
}

const LanguageTable g_table = {LoadLanguageFile, GetText};

} // namespace

VORLANE_SERVICE_EXPORTS(VOCABRAEX_NAME, VOCABRAEX_IID, 0x00010000, g_table)
