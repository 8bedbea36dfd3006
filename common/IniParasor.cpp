// The INI parser: one algorithm for the three variants; every difference is
// a constant or a report function of the traits structs in IniParasor.h.
#include "IniParasor.h"

#include "VorlanePlatform.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

namespace vorlane {
namespace {

// The parser's name in the "line without =" messages.
constexpr const char* kSourceName = "IniParasor";
constexpr size_t kInitialSections = 1240;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(&text[0], text.size(), format, args);
        text.resize(static_cast<size_t>(needed));
    }
    va_end(args);
    return text;
}

// A view of bytes inside the parsed data (lines never hold a NUL).
struct Span {
    const char* data;
    size_t size;
    bool empty() const { return size == 0; }
    char operator[](size_t i) const { return data[i]; }
    size_t find(char c, size_t from = 0) const {
        for (size_t i = from; i < size; ++i)
            if (data[i] == c) return i;
        return npos;
    }
    Span sub(size_t from, size_t count = npos) const {
        if (from > size) from = size;
        if (count > size - from) count = size - from;
        return Span{data + from, count};
    }
    static constexpr size_t npos = static_cast<size_t>(-1);
};

Span SpanOf(const char* text) {
    return Span{text, text ? std::strlen(text) : 0};
}

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
bool IsSpaceOrTab(char c) {
    return c == ' ' || c == '\t';
}

Span TrimLeft(Span s, bool (*is)(char)) {
    size_t i = 0;
    while (i < s.size && is(s[i]))
        ++i;
    return s.sub(i);
}
Span TrimRight(Span s, bool (*is)(char)) {
    size_t n = s.size;
    while (n > 0 && is(s[n - 1]))
        --n;
    return s.sub(0, n);
}
Span Trim(Span s, bool (*is)(char)) {
    return TrimRight(TrimLeft(s, is), is);
}

// Leading white space, then leading tabs.
Span TrimLine(Span s) {
    s = TrimLeft(s, IsWhiteSpace);
    size_t i = 0;
    while (i < s.size && s[i] == '\t')
        ++i;
    return s.sub(i);
}

// The code page is UTF-8: only ASCII letters have a case to fold; every other
// byte compares as it is (no lead or trail byte of UTF-8 is an ASCII letter).
char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
bool EqualIgnoringCase(Span a, Span b) {
    if (a.size != b.size) return false;
    for (size_t i = 0; i < a.size; ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

// Fills a 260-byte field: the text cut to 259 bytes, NUL-padded.
void CopyField(char (&field)[260], Span text) {
    std::memset(field, 0, sizeof field);
    size_t n = text.size < kIniTextMax ? text.size : kIniTextMax;
    if (n) std::memcpy(field, text.data, n);
}

IniEntry MakeEntry(IniEntryKind kind, Span key, Span value, Span comment) {
    IniEntry entry;
    entry.kind = kind;
    CopyField(entry.key, key);
    CopyField(entry.value, value);
    CopyField(entry.comment, comment);
    return entry;
}

// Cuts the data into lines. A NUL ends the data; CR LF and LF end a line; a
// CR not followed by LF is an ordinary byte and so is the byte after it.
std::vector<Span> SplitLines(const char* data, size_t length) {
    std::vector<Span> lines;
    if (length == 0) return lines;
    size_t t = 0, j = 0;
    while (j < length) {
        char c = data[j];
        if (c == '\0') {
            lines.push_back(Span{data + t, j - t});
            return lines;
        }
        if (c == '\r') {
            if (j + 1 < length && data[j + 1] == '\n') {
                lines.push_back(Span{data + t, j - t});
                if (j + 2 == length) return lines;
                t = j = j + 2;
                continue;
            }
            // A NUL right after the CR still ends the data.
            j += (j + 1 < length && data[j + 1] == '\0') ? 1 : 2;
            continue;
        }
        if (c == '\n') {
            lines.push_back(Span{data + t, j - t});
            if (j + 1 == length) return lines;
            t = j = j + 1;
            continue;
        }
        ++j;
    }
    lines.push_back(Span{data + t, length - t});
    return lines;
}

} // namespace

// ---- The variants' reports --------------------------------------------------

void IniAppTraits::ReportKeyWithoutValue(int) {
    MessageBoxA(nullptr, "Script！键必须有其对应的值！", "", MB_OK);
}
void IniCardFunTraits::ReportKeyWithoutValue(int line) {
    std::string text = Format("%s(Ln%d)script eror.", kSourceName, line);
    MessageBoxA(nullptr, text.c_str(), "", MB_OK);
}
void IniSarnetTraits::ReportKeyWithoutValue(int line) {
    std::string text = Format("Error In %s Ln:%d", kSourceName, line);
    MessageBoxA(nullptr, text.c_str(), "", MB_OK);
}

template <class Traits> static void ReportOpenFailure(const char* path) {
    if (Traits::kOpenReport == IniOpenReport::Silent) return;
    std::string text = Format("Can't Open File %s", path ? path : "");
    if (Traits::kOpenReport == IniOpenReport::MessageBox)
        MessageBoxA(nullptr, text.c_str(), "", MB_OK);
    else
        OutputDebugStringA(text.c_str());
}

template <class Traits> static bool (*KeyTrimSet())(char) {
    return Traits::kTrim == IniTrim::WhiteSpace ? IsWhiteSpace : IsSpaceOrTab;
}

// ---- Loading and parsing -------------------------------------------------------

template <class Traits>
IniParasorT<Traits>::IniParasorT(const char* path) : m_path(path ? path : "") {
    m_sections.reserve(kInitialSections);
    Load(path);
}

template <class Traits> int IniParasorT<Traits>::Load(const char* path) {
    m_sections.clear();
    m_sectionNames.clear();
    FILE* file = path ? std::fopen(path, "rb") : nullptr;
    std::vector<char> data;
    bool ok = file != nullptr;
    if (ok) {
        // Read to the end (also for files whose size is not known up front),
        // refusing anything larger than a configuration file can be.
        char chunk[65536];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            if (data.size() + got > kIniMaxFileSize) {
                ok = false;
                break;
            }
            data.insert(data.end(), chunk, chunk + got);
        }
        if (std::ferror(file)) ok = false;
        std::fclose(file);
    }
    if (!ok) {
        ReportOpenFailure<Traits>(path);
        return Traits::kOpenFailed;
    }
    if (Traits::kTextMode) {
        // Text-mode reading: every CR LF pair arrives as a single LF.
        size_t out = 0;
        for (size_t in = 0; in < data.size(); ++in) {
            if (data[in] == '\r' && in + 1 < data.size() && data[in + 1] == '\n') continue;
            data[out++] = data[in];
        }
        data.resize(out);
    }
    return Parse(data.data(), data.size());
}

template <class Traits> void IniParasorT<Traits>::AppendSection(const char* section) {
    IniSection added;
    CopyField(added.name, SpanOf(section));
    m_sections.push_back(std::move(added));
}

template <class Traits> int IniParasorT<Traits>::Parse(const char* data, size_t length) {
    m_sections.clear();
    m_sectionNames.clear();
    std::vector<Span> lines = data ? SplitLines(data, length) : std::vector<Span>();
    AppendSection("");
    const Span none{"", 0};
    const Span blank{" ", 1};
    for (size_t i = 0; i < lines.size(); ++i) {
        Span line = TrimLine(lines[i]);
        IniSection& current = m_sections.back();
        if (line.empty()) {
            current.entries.push_back(MakeEntry(IniEntryText, none, none, blank));
            continue;
        }
        if (line[0] == ';') {
            current.entries.push_back(MakeEntry(IniEntryText, none, none, line));
            continue;
        }
        size_t open = line.find('[');
        if (open != Span::npos &&
            (Traits::kBracketWithEqualsIsSection || line.find('=') == Span::npos)) {
            Span rest = line.sub(open + 1);
            size_t close = rest.find(']');
            if (rest.empty() || close == Span::npos) continue; // dropped silently
            IniSection added;
            CopyField(added.name, rest.sub(0, close));
            if (Traits::kSectionComments) {
                while (i + 1 < lines.size()) {
                    Span next = TrimLine(lines[i + 1]);
                    if (next.empty() || next[0] != ';') break;
                    size_t k = 0;
                    while (k < next.size && next[k] == ';')
                        ++k;
                    added.comment.append(next.data + k, next.size - k);
                    added.comment.append("\r\n");
                    ++i;
                }
            }
            m_sections.push_back(std::move(added));
            continue;
        }
        // A key line.
        Span key = none, valuePart = line;
        size_t equals = line.find('=');
        if (equals == Span::npos) {
            Traits::ReportKeyWithoutValue(__LINE__);
        } else {
            key = line.sub(0, equals);
            valuePart = line.sub(equals + 1);
        }
        bool (*trimSet)(char) = KeyTrimSet<Traits>();
        valuePart = Trim(valuePart, trimSet);
        key = Traits::kTrim == IniTrim::WhiteSpace ? Trim(key, trimSet) : TrimRight(key, trimSet);
        Span value = valuePart, comment = none;
        size_t semicolon = valuePart.find(';');
        if (semicolon != Span::npos) {
            value = valuePart.sub(0, semicolon);
            comment = valuePart.sub(semicolon + 1);
        }
        current.entries.push_back(MakeEntry(IniEntryKey, key, value, comment));
    }
    if (Traits::kHasSectionNames) {
        for (const IniSection& section : m_sections) {
            if (section.name[0] == '\0') continue;
            Span name = Trim(SpanOf(section.name), KeyTrimSet<Traits>());
            m_sectionNames.emplace_back(name.data, name.size);
        }
    }
    return Traits::kParseResult;
}

// ---- Lookups ----------------------------------------------------------------------

template <class Traits> int IniParasorT<Traits>::SectionIndex(const char* section) const {
    if (!section) return -1;
    Span wanted = SpanOf(section);
    for (size_t s = 0; s < m_sections.size(); ++s)
        if (EqualIgnoringCase(SpanOf(m_sections[s].name), wanted)) return static_cast<int>(s);
    return -1;
}

template <class Traits>
int IniParasorT<Traits>::FindKey(const char* section, const char* key, int* sectionIndex,
                                 int* entryIndex) const {
    if (!section || !key) return Traits::kKeyNotFound;
    bool (*trimSet)(char) = KeyTrimSet<Traits>();
    Span wantedSection = SpanOf(section);
    Span wantedKey = Traits::kTrimWantedKey ? TrimRight(SpanOf(key), trimSet) : SpanOf(key);
    for (size_t s = 0; s < m_sections.size(); ++s) {
        const IniSection& current = m_sections[s];
        if (!EqualIgnoringCase(SpanOf(current.name), wantedSection)) continue;
        for (size_t e = 0; e < current.entries.size(); ++e) {
            const IniEntry& entry = current.entries[e];
            if (entry.kind != IniEntryKey) continue;
            if (!EqualIgnoringCase(Trim(SpanOf(entry.key), trimSet), wantedKey)) continue;
            if (sectionIndex) *sectionIndex = static_cast<int>(s);
            if (entryIndex) *entryIndex = static_cast<int>(e);
            return Traits::kFound;
        }
    }
    return Traits::kKeyNotFound;
}

// The main program looks up only its image section.
static bool IsImgFile(const char* section) {
    return section && EqualIgnoringCase(SpanOf(section), SpanOf("Img File"));
}
static bool IsImgFilePath(const char* section, const char* key) {
    return IsImgFile(section) && key && EqualIgnoringCase(SpanOf(key), SpanOf("path"));
}

template <class Traits>
int IniParasorT<Traits>::FindSectionImpl(const char* section, int* index) const {
    int found = (Traits::kImgFileOnly && !IsImgFile(section)) ? -1 : SectionIndex(section);
    if (index) *index = found;
    return found >= 0 ? Traits::kFound : Traits::kSectionNotFound;
}

template <class Traits>
int IniParasorT<Traits>::GetValue(const char* section, const char* key, char* destination) const {
    int s = 0, e = 0;
    if (FindKey(section, key, &s, &e) != Traits::kFound) return Traits::kValueNotFound;
    if (destination) {
        const char* value = m_sections[s].entries[e].value;
        size_t n = std::strlen(value);
        if (n > kIniValueBuffer - 1) n = kIniValueBuffer - 1;
        std::memset(destination, 0, kIniValueBuffer);
        std::memcpy(destination, value, n);
    }
    return Traits::kFound;
}

template <class Traits>
int IniParasorT<Traits>::GetValueSizedImpl(const char* section, const char* key, char* destination,
                                           size_t size) const {
    int s = 0, e = 0;
    if (FindKey(section, key, &s, &e) != Traits::kFound) return Traits::kValueNotFound;
    if (destination && size > 0) {
        const char* value = m_sections[s].entries[e].value;
        size_t n = std::strlen(value);
        if (n > size - 1) n = size - 1;
        std::memset(destination, 0, size);
        std::memcpy(destination, value, n);
    }
    return Traits::kFound;
}

template <class Traits>
int IniParasorT<Traits>::GetSectionNamesImpl(std::vector<std::string>& names) const {
    names.insert(names.end(), m_sectionNames.begin(), m_sectionNames.end());
    return static_cast<int>(names.size());
}

// ---- Changes ------------------------------------------------------------------------

template <class Traits>
int IniParasorT<Traits>::SetValueImpl(const char* section, const char* key, const char* value) {
    if (!section || !key) return Traits::kNotOffered ? Traits::kNotOffered : 0;
    if (Traits::kImgFileOnly && !IsImgFilePath(section, key)) return Traits::kNotOffered;
    int s = 0, e = 0;
    if (FindKey(section, key, &s, &e) == Traits::kFound) {
        CopyField(m_sections[s].entries[e].value, SpanOf(value));
        return 0;
    }
    int index = -1;
    if (FindSectionImpl(section, &index) != Traits::kFound) AddSectionImpl(section);
    return AddKeyImpl(section, key, value);
}

template <class Traits> void IniParasorT<Traits>::AddSectionImpl(const char* section) {
    if (!section) return;
    if (Traits::kImgFileOnly && !IsImgFile(section)) return;
    int index = -1;
    if (FindSectionImpl(section, &index) == Traits::kFound) return;
    AppendSection(section);
}

template <class Traits>
int IniParasorT<Traits>::AddKeyImpl(const char* section, const char* key, const char* value) {
    if (!section || !key) return Traits::kNotOffered ? Traits::kNotOffered : 0;
    if (Traits::kImgFileOnly && !IsImgFilePath(section, key)) return Traits::kNotOffered;
    int index = -1;
    if (FindSectionImpl(section, &index) != Traits::kFound) {
        AppendSection(section);
        index = static_cast<int>(m_sections.size()) - 1;
    }
    m_sections[index].entries.push_back(
        MakeEntry(IniEntryKey, SpanOf(key), SpanOf(value), Span{"", 0}));
    return 0;
}

// ---- Saving -----------------------------------------------------------------------------

template <class Traits> void IniParasorT<Traits>::SaveImpl() const {
    std::string out;
    for (const IniSection& section : m_sections) {
        if (section.name[0] != '\0') {
            out += '[';
            out += section.name;
            out += "]\r\n";
        }
        size_t at = 0;
        while (at < section.comment.size()) {
            size_t end = section.comment.find("\r\n", at);
            if (end == std::string::npos) end = section.comment.size();
            out += ';';
            out.append(section.comment, at, end - at);
            out += "\r\n";
            at = end + 2;
        }
        size_t width = 0;
        for (const IniEntry& entry : section.entries)
            if (entry.kind == IniEntryKey) width = std::max(width, std::strlen(entry.key));
        for (const IniEntry& entry : section.entries) {
            if (entry.kind != IniEntryKey) {
                out += entry.comment;
            } else {
                out += entry.key;
                out.append(width - std::strlen(entry.key) + 2, ' ');
                out += "= ";
                out += entry.value;
                if (entry.comment[0] != '\0') {
                    out += ';';
                    out += entry.comment;
                }
            }
            out += "\r\n";
        }
    }
    FILE* file = std::fopen(m_path.c_str(), "wb");
    if (!file) return;
    if (!out.empty()) std::fwrite(out.data(), 1, out.size(), file);
    std::fclose(file);
}

template class IniParasorT<IniAppTraits>;
template class IniParasorT<IniCardFunTraits>;
template class IniParasorT<IniSarnetTraits>;

} // namespace vorlane
