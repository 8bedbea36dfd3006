// Fuzzes the script and configuration parsers over the INI reader of
// config.so, with a fixed partition table and download list beside the script.
#include "Interfaces.h"
#include "PartitionFixtures.h"
#include "Parsers.h"
#include "VorlanePlatform.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" void* GetInterface(const char* id); // config.so's export, linked in

namespace {

int QuietBox(HWND, const char*, const char*, unsigned, void*) {
    return IDOK;
}
void QuietDebug(const char*, void*) {}

void WriteBytes(const std::string& path, const void* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

std::string Dir() {
    static std::string dir = [] {
        char pattern[] = "/tmp/vorlane-script-fuzz-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        std::string d = pattern;
        auto table = vorlane::test::BuildLargeTable(vorlane::test::DefaultPartitions(), 1);
        auto list = vorlane::test::BuildLargeDownload(
            {{"boot", "BOOT_FEX"}, {"system", "SYSTEM_FEX"}, {"", "STRAY_FEX"}});
        WriteBytes(d + "/mbr.fex", table.data(), table.size());
        WriteBytes(d + "/dlinfo.fex", list.data(), list.size());
        VpSetMessageBoxHandler(&QuietBox, nullptr);
        VpSetDebugHook(&QuietDebug, nullptr);
        return d;
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = Dir() + "/script.cfg";
    WriteBytes(path, data, size);
    auto* table = static_cast<const ConfigParserTable*>(GetInterface(VORLANE_IID_CONFIG_PARSER));
    ScriptInfo info{};
    vorlane::ostrand::ParseScriptInfo(&info, path.c_str(), table);
    if (info.items && info.steps == 0) std::abort();
    std::free(info.items);
    ConfigInfo config{};
    vorlane::ostrand::ParseConfigInfo(table, &config, path.c_str());
    return 0;
}
