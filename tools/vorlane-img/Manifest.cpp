#include "Manifest.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace vorlane::img {
namespace {

std::string Trim(const std::string& text) {
    const char* space = " \t\r\n";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

} // namespace

bool ReadManifest(const std::string& path, std::vector<ManifestItem>* items, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    auto fail = [&](int line, const std::string& why) {
        *error = path + ":" + std::to_string(line) + ": " + why;
        return false;
    };

    items->clear();
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        if (lineNo == 1 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            if (line.back() != ']') return fail(lineNo, "unterminated section name");
            ManifestItem item;
            item.section = Trim(line.substr(1, line.size() - 2));
            if (item.section.empty()) return fail(lineNo, "empty section name");
            items->push_back(item);
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return fail(lineNo, "expected key = value");
        if (items->empty()) return fail(lineNo, "key outside a section");
        const std::string key = Lower(Trim(line.substr(0, eq)));
        const std::string value = Trim(line.substr(eq + 1));
        ManifestItem& item = items->back();
        if (key == "main") {
            item.mainType = value;
        } else if (key == "sub") {
            item.subType = value;
        } else if (key == "file") {
            item.file = value;
        } else {
            return fail(lineNo, "unknown key '" + key + "' (expected main, sub, file)");
        }
    }
    for (ManifestItem& item : *items) {
        const char* missing = item.mainType.empty()  ? "main"
                              : item.subType.empty() ? "sub"
                              : item.file.empty()    ? "file"
                                                     : nullptr;
        if (missing) {
            *error = path + ": section [" + item.section + "]: missing key '" + missing + "'";
            return false;
        }
        if (item.file[0] != '/') item.file = dir + item.file;
    }
    return true;
}

} // namespace vorlane::img
