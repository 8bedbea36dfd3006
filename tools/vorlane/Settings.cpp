#include "Settings.h"

#include "CliObserver.h"
#include "EngineLog.h"
#include "VorlanePlatform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace vorlane::cli {
namespace {

const char kFile[] = "SettingDialog";

std::string withoutSpaces(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != ' ') out += c;
    return out;
}

std::string readKey(const std::string& option, const char* key) {
    char value[260] = "";
    GetPrivateProfileStringA("OPTION", key, "", value, sizeof value, option.c_str());
    return value;
}

// Writes "OPTION"/key = value; non-zero on success.
int SetKeyStringValue(const std::string& option, const char* value, const char* key) {
    if (WritePrivateProfileStringA("OPTION", key, value, option.c_str()) != 0) return 1;
    ENGINE_ERROR(kFile, "CSettingDialog::SetKeyStringValue", "save to %s item failed", key);
    std::fprintf(stderr, "vorlane: %s: saving %s failed\n", option.c_str(), key);
    return 0;
}

} // namespace

int RunSettings(const SettingsRequest& request, bool json) {
    char optionPath[VORLANE_MAX_PATH];
    if (VpWorkPath(optionPath, sizeof optionPath, "option.cfg") != 0) {
        std::fprintf(stderr, "vorlane: work directory path too long\n");
        return 1;
    }
    const std::string option = optionPath;
    // The state the dialog would open with.
    bool toolOn = GetPrivateProfileIntA("OPTION", "activeToolsrc", 0, option.c_str()) != 0;
    bool sizeOn = GetPrivateProfileIntA("OPTION", "activeFirstPartSize", 0, option.c_str()) != 0;
    const std::string nameAtOpening = readKey(option, "Toolsrc");
    std::string toolEdit = nameAtOpening;
    std::string sizeEdit = readKey(option, "FirstPartSize");
    if (request.toolSource >= 0) toolOn = request.toolSource == 1;
    if (request.toolSource == 1) toolEdit = request.toolSourceName;
    if (request.firstPartSize >= 0) sizeOn = request.firstPartSize == 1;
    if (request.firstPartSize == 1) sizeEdit = request.firstPartSizeText;

    const bool changing = request.toolSource >= 0 || request.firstPartSize >= 0;
    if (changing) {
        // 1. The plug-in file must exist under its name without spaces.
        std::string rawName = toolOn ? toolEdit : std::string();
        if (toolOn) {
            std::string name = withoutSpaces(toolEdit);
            if (!name.empty()) {
                char full[VORLANE_MAX_PATH];
                struct stat st;
                if (VpModulePath(full, sizeof full, name.c_str()) != 0 || stat(full, &st) != 0) {
                    std::fprintf(
                        stderr, "vorlane: the card-writing plug-in file %s does not exist\n", full);
                    return 2;
                }
                SetKeyStringValue(option, name.c_str(), "Toolsrc");
            }
        }
        // 2. The size: decimal digits only.
        if (sizeOn) {
            std::string size = withoutSpaces(sizeEdit);
            if (!size.empty()) {
                if (size.find_first_not_of("0123456789") != std::string::npos) {
                    std::fprintf(stderr,
                                 "vorlane: the first partition size must be given in MiB as digits "
                                 "only: %s\n",
                                 sizeEdit.c_str());
                    return 2;
                }
                SetKeyStringValue(option, size.c_str(), "FirstPartSize");
            }
        }
        if (!SetKeyStringValue(option, toolOn ? "1" : "0", "activeToolsrc")) return 1;
        if (!SetKeyStringValue(option, sizeOn ? "1" : "0", "activeFirstPartSize")) return 1;
        // The partition-table file made for the option goes with it.
        if (!sizeOn) unlink("mbr_new.fex");
        if (rawName != nameAtOpening)
            std::fprintf(
                stderr,
                "vorlane: the card-writing plug-in changes at the next start of the program\n");
    }
    const std::string name = readKey(option, "Toolsrc");
    const std::string size = readKey(option, "FirstPartSize");
    toolOn = GetPrivateProfileIntA("OPTION", "activeToolsrc", 0, option.c_str()) != 0;
    sizeOn = GetPrivateProfileIntA("OPTION", "activeFirstPartSize", 0, option.c_str()) != 0;
    if (json) {
        std::printf(
            "{\"event\":\"settings\",\"file\":\"%s\",\"activeToolsrc\":%d,\"Toolsrc\":\"%s\","
            "\"activeFirstPartSize\":%d,\"FirstPartSize\":\"%s\"}\n",
            JsonEscape(option).c_str(), toolOn ? 1 : 0, JsonEscape(name).c_str(), sizeOn ? 1 : 0,
            JsonEscape(size).c_str());
    } else {
        std::printf("%s\n  card-writing plug-in: %s%s\n  empty first partition: %s%s%s\n",
                    option.c_str(), toolOn ? "custom " : "standard", toolOn ? name.c_str() : "",
                    sizeOn ? "on, " : "off", sizeOn ? size.c_str() : "", sizeOn ? " MiB" : "");
    }
    return 0;
}

} // namespace vorlane::cli
