// Fuzzes the language-file reader: any bytes as a language file, then every
// id the file could name, in every language.
#include "Interfaces.h"
#include "ServiceTables.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" void* GetInterface(const char* id);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = [] {
        char name[] = "/tmp/vorlane-lan-fuzz-XXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        return std::string(name);
    }();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    auto* lang = static_cast<const LanguageTable*>(GetInterface(VOCABRAEX_IID));
    lang->LoadLanguageFile(path.c_str());
    for (const char* page : {"1252", "936", "950"}) {
        setenv("VORLANE_CODEPAGE", page, 1);
        for (int id = 0; id < 64; ++id)
            if (!lang->GetText(id, 1)) std::abort();
    }
    return 0;
}
