// IniParasor: the INI-form file reader and writer of every configuration
// and script file. One algorithm, three variants (the main program's, the
// card-functions library's and the card-writing plug-in's); their
// differences live in the traits structs below and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
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
static_assert(sizeof(IniEntry) == 784, "IniEntry keeps its four fixed fields");
static_assert(offsetof(IniEntry, key) == 4 && offsetof(IniEntry, value) == 264 &&
                  offsetof(IniEntry, comment) == 524,
              "IniEntry field offsets");

constexpr size_t kIniTextMax = 259;     // longest text of a field (plus NUL)
constexpr size_t kIniValueBuffer = 256; // GetValue without a size writes at most this
// Load refuses files above this size as if they could not be opened: every
// line becomes a 784-byte record, so an unbounded file would exhaust memory.
// Configuration and script files are a few KiB.
constexpr size_t kIniMaxFileSize = 1u << 20;

struct IniSection {
    char name[260];      // as written between the brackets, untrimmed
    std::string comment; // comment lines after the header, each + CR LF
    std::vector<IniEntry> entries;
};

// How a variant reports a failure to open its file.
enum class IniOpenReport { MessageBox, DebugOutput, Silent };
// How a variant trims key lines.
enum class IniTrim {
    WhiteSpace,   // space, tab, CR, LF, VT, FF; key and value on both sides
    SpacesAndTabs // spaces and tabs only; value on both sides, key on its right
};

// Result codes (callers only test for zero or non-zero; Sarnet's lookups
// answer 1 for found and 0 for not found):
//
//   condition                               VorlaneCard  VorlaneCardFun  Sarnet
//   file cannot be opened (Load)                  47          52            0
//   GetValue: section or key not found           292         301            0
//   FindKey: not found                           461         470            0
//   FindSection: not found                       483         492            -
//   SetValue/AddKey: not "Img File"/"path"       601           -            -
//
// The last row: the main program's copy changes only [Img File] path.

// VorlaneCard (main program).
struct IniAppTraits {
    static constexpr const char* kName = "VorlaneCard";
    static constexpr bool kTextMode = false;
    static constexpr IniOpenReport kOpenReport = IniOpenReport::MessageBox;
    static constexpr int kOpenFailed = 47;
    static constexpr bool kBracketWithEqualsIsSection = true;
    static constexpr IniTrim kTrim = IniTrim::WhiteSpace;
    static constexpr bool kTrimWantedKey = true;
    static constexpr bool kSectionComments = true;
    static constexpr bool kHasFindSection = true;
    static constexpr bool kHasEdit = true;          // SetValue, AddSection, AddKey, Save
    static constexpr bool kImgFileOnly = true;      // ... but only for [Img File] path
    static constexpr bool kHasSectionNames = false; // GetSectionNames, sized GetValue
    static constexpr int kParseResult = 0;
    static constexpr int kFound = 0;
    static constexpr int kValueNotFound = 292;
    static constexpr int kKeyNotFound = 461;
    static constexpr int kSectionNotFound = 483;
    static constexpr int kNotOffered = 601;
    // "Script! A key must have its value!"
    static void ReportKeyWithoutValue(int line);
};

// VorlaneCardFun (card-functions library).
struct IniCardFunTraits {
    static constexpr const char* kName = "VorlaneCardFun";
    static constexpr bool kTextMode = false;
    static constexpr IniOpenReport kOpenReport = IniOpenReport::DebugOutput;
    static constexpr int kOpenFailed = 52;
    static constexpr bool kBracketWithEqualsIsSection = false;
    static constexpr IniTrim kTrim = IniTrim::WhiteSpace;
    static constexpr bool kTrimWantedKey = true;
    static constexpr bool kSectionComments = true;
    static constexpr bool kHasFindSection = true;
    static constexpr bool kHasEdit = true;
    static constexpr bool kImgFileOnly = false;
    static constexpr bool kHasSectionNames = false;
    static constexpr int kParseResult = 0;
    static constexpr int kFound = 0;
    static constexpr int kValueNotFound = 301;
    static constexpr int kKeyNotFound = 470;
    static constexpr int kSectionNotFound = 492;
    static constexpr int kNotOffered = 0;
    // "%s(Ln%d)script eror."
    static void ReportKeyWithoutValue(int line);
};

// Sarnet (card-writing plug-in): reads scripts only.
struct IniSarnetTraits {
    static constexpr const char* kName = "Sarnet";
    static constexpr bool kTextMode = true; // CR LF arrives as LF
    static constexpr IniOpenReport kOpenReport = IniOpenReport::Silent;
    static constexpr int kOpenFailed = 0;
    static constexpr bool kBracketWithEqualsIsSection = true;
    static constexpr IniTrim kTrim = IniTrim::SpacesAndTabs;
    static constexpr bool kTrimWantedKey = false;
    static constexpr bool kSectionComments = false;
    static constexpr bool kHasFindSection = false;
    static constexpr bool kHasEdit = false;
    static constexpr bool kImgFileOnly = false;
    static constexpr bool kHasSectionNames = true;
    static constexpr int kParseResult = 1;
    static constexpr int kFound = 1;
    static constexpr int kValueNotFound = 0;
    static constexpr int kKeyNotFound = 0;
    static constexpr int kSectionNotFound = 0;
    static constexpr int kNotOffered = 0;
    // "Error In %s Ln:%d"
    static void ReportKeyWithoutValue(int line);
};

// Operations a variant does not have are not callable: they are member
// templates whose static_assert names the variant (the main program's
// SetValue/AddSection/AddKey and FindSection exist, but act only on
// [Img File] path and answer "not offered"/"not found" for other names).
template <class Traits> class IniParasorT {
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
    template <class T = Traits> int FindSection(const char* section, int* index) const {
        static_assert(std::is_same<T, Traits>::value && T::kHasFindSection,
                      "this IniParasor variant has no FindSection");
        return FindSectionImpl(section, index);
    }
    // Copies the value into a caller buffer of at least 256 bytes (at most
    // 255 bytes plus NUL are written).
    int GetValue(const char* section, const char* key, char* destination) const;
    // Sarnet's form: clears `size` bytes and copies the value (at most
    // size - 1 bytes plus NUL); 1 found, 0 not.
    template <class T = Traits>
    int GetValue(const char* section, const char* key, char* destination, size_t size) const {
        static_assert(std::is_same<T, Traits>::value && T::kHasSectionNames,
                      "only Sarnet's IniParasor has GetValue with a size");
        return GetValueSizedImpl(section, key, destination, size);
    }
    template <class T = Traits>
    int SetValue(const char* section, const char* key, const char* value) {
        static_assert(std::is_same<T, Traits>::value && T::kHasEdit,
                      "Sarnet's IniParasor has no SetValue");
        return SetValueImpl(section, key, value);
    }
    template <class T = Traits> void AddSection(const char* section) {
        static_assert(std::is_same<T, Traits>::value && T::kHasEdit,
                      "Sarnet's IniParasor has no AddSection");
        AddSectionImpl(section);
    }
    template <class T = Traits>
    int AddKey(const char* section, const char* key, const char* value) {
        static_assert(std::is_same<T, Traits>::value && T::kHasEdit,
                      "Sarnet's IniParasor has no AddKey");
        return AddKeyImpl(section, key, value);
    }
    // Sarnet: appends the non-empty section names, trimmed; returns the list's size.
    template <class T = Traits> int GetSectionNames(std::vector<std::string>& names) const {
        static_assert(std::is_same<T, Traits>::value && T::kHasSectionNames,
                      "only Sarnet's IniParasor has GetSectionNames");
        return GetSectionNamesImpl(names);
    }
    // Writes the model to the construction path (CR LF line ends); writes
    // nothing when the file cannot be opened.
    template <class T = Traits> void Save() const {
        static_assert(std::is_same<T, Traits>::value && T::kHasEdit,
                      "Sarnet's IniParasor has no Save");
        SaveImpl();
    }

    const std::vector<IniSection>& Sections() const { return m_sections; }

  private:
    int FindSectionImpl(const char* section, int* index) const;
    int GetValueSizedImpl(const char* section, const char* key, char* destination,
                          size_t size) const;
    int SetValueImpl(const char* section, const char* key, const char* value);
    void AddSectionImpl(const char* section);
    int AddKeyImpl(const char* section, const char* key, const char* value);
    int GetSectionNamesImpl(std::vector<std::string>& names) const;
    void SaveImpl() const;
    // Finds a section by name (case-insensitive); -1 when none.
    int SectionIndex(const char* section) const;
    void AppendSection(const char* section);

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
