// Fuzz target: the INI parser of every variant, then lookups and changes
// with names taken from the parsed model and from the input, and the save
// formatting.
#include "IniParasor.h"
#include "VorlanePlatform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

int QuietBox(HWND, const char*, const char*, unsigned, void*) {
    return IDOK;
}
void QuietDebug(const char*, void*) {}

// Parses and looks up every section/key pair of the model.
template <class P> void Lookups(P& ini, const char* data, size_t size) {
    ini.Parse(data, size);
    std::vector<std::pair<std::string, std::string>> names;
    for (const vorlane::IniSection& section : ini.Sections())
        for (const vorlane::IniEntry& entry : section.entries)
            names.emplace_back(section.name, entry.key);
    names.emplace_back("Img File", "path");
    char value[256];
    int s = 0, e = 0;
    for (const auto& n : names) {
        ini.FindKey(n.first.c_str(), n.second.c_str(), &s, &e);
        ini.GetValue(n.first.c_str(), n.second.c_str(), value);
    }
}

template <class P> void Edits(P& ini, const char* data, size_t size) {
    std::string text(data, size); // cut at the first NUL by c_str()
    int index = 0;
    ini.FindSection(text.c_str(), &index);
    ini.SetValue(text.c_str(), "k", text.c_str());
    ini.SetValue("Img File", "path", text.c_str());
    ini.AddKey(text.c_str(), text.c_str(), "v");
    ini.AddSection(text.c_str());
    ini.Save(); // the path "" cannot be opened: formats, writes nothing
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const bool quiet = [] {
        VpSetMessageBoxHandler(QuietBox, nullptr);
        VpSetDebugHook(QuietDebug, nullptr);
        return true;
    }();
    (void)quiet;
    const char* data = reinterpret_cast<const char*>(bytes);
    {
        vorlane::app::IniParasor ini("");
        Lookups(ini, data, size);
        Edits(ini, data, size);
    }
    {
        vorlane::cardfun::IniParasor ini("");
        Lookups(ini, data, size);
        Edits(ini, data, size);
    }
    {
        vorlane::sarnet::IniParasor ini("");
        Lookups(ini, data, size);
        std::vector<std::string> names;
        ini.GetSectionNames(names);
        char value[64];
        for (const std::string& name : names)
            ini.GetValue(name.c_str(), "k", value, sizeof value);
    }
    return 0;
}
