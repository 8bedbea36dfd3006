// IniParasor: the INI-form file reader and writer of every configuration
// and script file. One algorithm, three variants (the main program's, the
// card-functions library's and the card-writing plug-in's); their
// differences live in the traits structs below and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorlane {

enum IniEntryKind : int32_t { IniEntryKey = 0, IniEntryText = 1 };

// Fixed layout of four fields; texts are cut to 259 bytes plus terminator.
struct IniEntry {
    int32_t kind;
    char key[260];
    char value[260];
    char comment[260];
};

struct IniSection {
    char name[260];      // as written between the brackets, untrimmed
    std::string comment; // comment lines after the header, each + CR LF
    std::vector<IniEntry> entries;
};

// Variant traits (defined in IniParasor.cpp together with the algorithm).
struct IniAppTraits;     // VorlaneCard
struct IniCardFunTraits; // VorlaneCardFun
struct IniSarnetTraits;  // Sarnet

template <class Traits>
class IniParasorT {
public:
    explicit IniParasorT(const char* path);
    IniParasorT(const IniParasorT&) = delete;
    IniParasorT& operator=(const IniParasorT&) = delete;

    // Reads the whole file and parses it; the open-failure code of the
    // variant when it cannot be opened (the model is then empty).
    int Load(const char* path);
    // Replaces the whole model; 0 (Sarnet: 1).
    int Parse(const char* data, size_t length);

    // 0 and the indices when found, else the variant's not-found code
    // (Sarnet: 1 found, 0 not found).
    int FindKey(const char* section, const char* key, int* sectionIndex, int* entryIndex) const;
    int FindSection(const char* section, int* index) const;
    // Copies the value into a caller buffer of at least 256 bytes (at most
    // 255 bytes plus NUL are written).
    int GetValue(const char* section, const char* key, char* destination) const;
    // Sarnet's form: clears `size` bytes and copies the value; 1 found, 0 not.
    int GetValue(const char* section, const char* key, char* destination, size_t size) const;
    int SetValue(const char* section, const char* key, const char* value);
    void AddSection(const char* section);
    int AddKey(const char* section, const char* key, const char* value);
    // Sarnet: appends the non-empty section names, trimmed; returns the list's size.
    int GetSectionNames(std::vector<std::string>& names) const;
    // Writes the model to the construction path (CR LF line ends).
    void Save() const;

    const std::vector<IniSection>& Sections() const { return m_sections; }

private:
    std::vector<IniSection> m_sections;
    std::string m_path;
    std::vector<std::string> m_sectionNames; // Sarnet: rebuilt by every Parse
};

extern template class IniParasorT<IniAppTraits>;
extern template class IniParasorT<IniCardFunTraits>;
extern template class IniParasorT<IniSarnetTraits>;

// Each deliverable names its own copy IniParasor.
namespace app {
using IniParasor = IniParasorT<IniAppTraits>;
}
namespace cardfun {
using IniParasor = IniParasorT<IniCardFunTraits>;
}
namespace sarnet {
using IniParasor = IniParasorT<IniSarnetTraits>;
}

} // namespace vorlane
