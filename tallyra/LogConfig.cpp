#include "LogConfig.h"

#include "VorlanePlatform.h"

#include <strings.h>

namespace vorlane::tallyra {

namespace {

constexpr const char* kGlobal = "global";

// "messagebox" -> 1, "printstack" -> 2, anything else -> `otherwise`.
int32_t debugModeOf(const char* text, int32_t otherwise) {
    if (strcasecmp(text, "messagebox") == 0) return DebugModeMessageBox;
    if (strcasecmp(text, "printstack") == 0) return DebugModePrintStack;
    return otherwise;
}

void readText(const char* section, const char* key, char* out, const char* path) {
    GetPrivateProfileStringA(section, key, "", out, kLogTextSize, path);
}

} // namespace

void ReadLogConfig(const char* path, const char* section, LogConfig* config) {
    const char* own = section && *section ? section : "default";
    char text[kLogTextSize];

    // The mode keys of [global] give the value that the logger's own
    // section may override with a recognised word.
    readText(kGlobal, "debugmode", text, path);
    config->debugmode = debugModeOf(text, DebugModeNone);
    readText(own, "debugmode", text, path);
    config->debugmode = debugModeOf(text, config->debugmode);

    readText(kGlobal, "logmode", text, path);
    config->logmode = strcasecmp(text, "along") == 0 ? LogModeAlong : LogModeCombind;
    readText(own, "logmode", text, path);
    if (strcasecmp(text, "along") == 0)
        config->logmode = LogModeAlong;
    else if (strcasecmp(text, "combind") == 0)
        config->logmode = LogModeCombind;

    readText(kGlobal, "rootDirectory", config->rootDirectory, path);

    config->enc = GetPrivateProfileIntA(own, "enc", 0, path);
    config->eps = GetPrivateProfileIntA(own, "eps", 0, path);
    config->file = GetPrivateProfileIntA(own, "file", 1, path);
    config->remote = GetPrivateProfileIntA(own, "remote", 0, path);
    config->compress = GetPrivateProfileIntA(own, "compress", 0, path);
    config->debugview = GetPrivateProfileIntA(own, "debugview", 1, path);
    config->maxfilesize = GetPrivateProfileIntA(own, "maxfilesize", 40000, path);
    config->maxdirsize = GetPrivateProfileIntA(own, "maxdirsize", 20, path);
    GetPrivateProfileStringA(own, "prefix", "unknow", config->prefix, kLogTextSize, path);
    readText(own, "remoteaddr", config->remoteaddr, path);
    readText(own, "email", config->email, path);
}

} // namespace vorlane::tallyra
