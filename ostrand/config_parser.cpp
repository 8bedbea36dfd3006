// ParseConfigInfo: "config.cfg" becomes the device identity and the names
// of the image's work items.
#include "ParserSupport.h"
#include "Parsers.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace vorlane::ostrand {

namespace {

constexpr const char* kSource = "config_parser";
constexpr const char* kFunction = "ParseConfigInfo";
constexpr size_t kValue = 260;

constexpr int kNullArgument = 69;
constexpr int kUnreadable = 74;
constexpr int kOpenFailed = 75;

} // namespace

int ParseConfigInfo(const ConfigParserTable* table, ConfigInfo* info, const char* path) {
    if (!table || !info || !path || !table->OpenConfig || !table->CloseConfig ||
        !table->GetKeyString)
        return kNullArgument;
    if (!IsReadableFile(path)) return kUnreadable;
    std::memset(info, 0, sizeof *info);
    void* config = table->OpenConfig(path, 0);
    if (!config) {
        ReportError(kSource, __LINE__, kFunction, "OpenConfig failed");
        return kOpenFailed;
    }

    char value[kValue];
    int result = 0;
    auto lookup = [&](const char* section, const char* key, int line) {
        std::memset(value, 0, sizeof value);
        result = table->GetKeyString(config, section, key, value);
        if (result != 0)
            ReportError(kSource, line, kFunction, "GetKeyString(%s) faild %d", key, result);
        return result == 0;
    };
    auto fail = [&]() {
        table->CloseConfig(config);
        ReportError(kSource, __LINE__, kFunction, "err = %d", result);
        return result;
    };

    if (!lookup("system", "ver", __LINE__)) return fail();
    info->ver = ReadHex16(value);
    if (!lookup("usb", "pid", __LINE__)) return fail();
    info->pid = ReadHex16(value);
    if (!lookup("usb", "vid", __LINE__)) return fail();
    info->vid = ReadHex16(value);

    struct Item {
        const char* section;
        ItemName* name;
    } items[] = {{"card", &info->card},
                 {"script", &info->script},
                 {"mbr", &info->mbr},
                 {"gpt", &info->gpt},
                 {"dlinfo", &info->dlinfo}};
    for (const Item& item : items) {
        if (!lookup(item.section, "main", __LINE__)) return fail();
        CopyCut(item.name->main, value, sizeof value, 8);
        if (!lookup(item.section, "sub", __LINE__)) return fail();
        CopyCut(item.name->sub, value, sizeof value, 16);
    }

    table->CloseConfig(config);
    ReportPlain("ver\t\t=%x\n", info->ver);
    ReportPlain("pid\t\t=%x\n", info->pid);
    ReportPlain("vid\t\t=%x\n", info->vid);
    ReportPlain("card.main\t=%s\n", info->card.main);
    ReportPlain("card.sub\t=%s\n", info->card.sub);
    ReportPlain("script.main=%s\n", info->script.main);
    ReportPlain("script.sub\t=%s\n", info->script.sub);
    ReportPlain("ParseConfigInfo ok\n");
    return 0;
}

} // namespace vorlane::ostrand
