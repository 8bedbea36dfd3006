// The script manager: the card's script, its partition table and download
// list turned into the ordered list of items that a burn writes. Also the
// parameter-block helpers that every unit of the plug-in uses (they live in
// the core library so that each unit links them).
//
// Codes of ParseScriptInfo:
//   67   block is null
//   73   scriptInfo or the script path is null
//   78   script missing or unreadable
//   124  partition table or download list unusable
//   220  out of memory for the items
// Otherwise the outcome of the last key lookup made: 1 = the key existed,
// 0 = it did not (the burn entry does not examine the result). A script with
// fewer than two sections (no process or no partition-table section) ends
// the parse with a message box, steps 0 and no items.
#include "SarnetInternal.h"

#include "IniParasor.h"
#include "Interfaces.h"
#include "PartionInfo.h"
#include "VorlanePlatform.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>
#include <vector>

namespace vorlane::sarnet {

// ---- Parameter block helpers ------------------------------------------------------

void* FindInterface(const ToolParam* param, const char* id) {
    if (!param || !id || strnlen(id, VORLANE_IID_LENGTH + 1) != VORLANE_IID_LENGTH) return nullptr;
    if (!param->interfaces) return nullptr;
    for (uint32_t i = 0; i < param->interfaceCount; ++i) {
        const InterfaceEntry& entry = param->interfaces[i];
        if (std::memcmp(entry.id, id, VORLANE_IID_LENGTH) == 0) return entry.table;
    }
    return nullptr;
}

namespace {
// Written by every run of one burn with the same value.
std::atomic<int> g_workModeSelection{-1};
} // namespace

int WorkModeSelection() {
    return g_workModeSelection.load();
}
void SetWorkModeSelection(int selection) {
    g_workModeSelection.store(selection);
}

int WorkModeFromScriptMode(int scriptMode) {
    switch (scriptMode) {
    case ScriptModeProduct:
        return 0;
    case ScriptModeBromrun:
        return 1;
    case ScriptModeBurnkey:
        return 2;
    default:
        return -1; // null, update, test and unknown modes burn as bromrun
    }
}

// ---- ScriptMan ------------------------------------------------------------------------

namespace {

constexpr const char* kUnit = "ScriptMan";
constexpr uint32_t kDefaultTableSector = 40960;
constexpr size_t kValueSize = 260;

struct ModeName {
    const char* text;
    uint16_t code;
};
const ModeName kModes[] = {{"null", ScriptModeNull},       {"product", ScriptModeProduct},
                           {"bromrun", ScriptModeBromrun}, {"update", ScriptModeUpdate},
                           {"test", ScriptModeTest},       {"burnkey", ScriptModeBurnkey}};

uint16_t ModeCode(const char* text) {
    for (const ModeName& m : kModes)
        if (std::strcmp(text, m.text) == 0) return m.code;
    return ScriptModeNull;
}

// Decimal number as the script writes it; "0x100" reads as 0, junk as 0.
uint32_t Decimal(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    return static_cast<uint32_t>(value);
}

void CopyCut(char* destination, size_t size, const char* text, size_t maxChars) {
    size_t n = strnlen(text, maxChars);
    if (n >= size) n = size - 1;
    std::memcpy(destination, text, n);
    destination[n] = '\0';
}

void SetLabels(ScriptItem& item, const char* commen, const char* commchs) {
    CopyCut(item.commen, sizeof item.commen, commen, sizeof item.commen - 1);
    CopyCut(item.commchs, sizeof item.commchs, commchs, sizeof item.commchs - 1);
}

void SetName(ScriptItem& item, const char* main, const char* sub) {
    CopyCut(item.main, sizeof item.main, main, 8);
    CopyCut(item.sub, sizeof item.sub, sub, 16);
}

void KeyMissingBox(const char* section, const char* key) {
    char text[2 * kValueSize + 64];
    std::snprintf(text, sizeof text, "GetKeyString(%s %s) failed", section, key);
    ShowBoxText(text, "Error");
}

std::string DirectoryOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? std::string(path, static_cast<size_t>(slash - path) + 1) : std::string();
}

bool FileExists(const std::string& path) {
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        return true;
    }
    return false;
}

// Download-list fields are 16 bytes without a guaranteed terminator.
std::string DownloadText(PartionInfoAW& table, int index, bool file) {
    char field[17] = {};
    int rc = file ? table.GetDownloadFile(index, field) : table.GetDownloadPart(index, field);
    if (rc != 0) return std::string();
    field[16] = '\0';
    return field;
}

std::string PartName(PartionInfoAW& table, int index) {
    char name[kPartNameBuffer + 8] = {};
    if (table.GetPartName(index, name) != 0) return std::string();
    name[sizeof name - 1] = '\0';
    return name;
}

struct PartionInfoDeleter {
    void operator()(PartionInfoAW* p) const { delete p; }
};

} // namespace

int ScriptMan::ParseScriptInfo(ToolParam* param, const char* scriptPath) {
    if (!param) return 67;
    auto* info = static_cast<ScriptInfo*>(param->scriptInfo);
    if (!info || !scriptPath) return 73;
    if (!FileExists(scriptPath)) return 78;
    IniParasor ini(scriptPath);

    const std::string dir = DirectoryOf(scriptPath);
    const std::string dlinfoPath = dir + "dlinfo.fex";
    std::string mbrPath = dir + "mbr.fex";
    if (param->Extension > 0 && param->res == TOOLPARAM_RES_FIRST_PART_EMPTY) {
        Diag("Oh: mode is bromrun (0x%x)!", TOOLPARAM_RES_FIRST_PART_EMPTY);
        const std::string newPath = dir + "mbr_new.fex";
        if (FileExists(newPath))
            mbrPath = newPath;
        else
            Diag("told you, the file %s is not exist! will use defalut %s", newPath.c_str(),
                 mbrPath.c_str());
    }
    Diag("the mbr file: %s", mbrPath.c_str());

    std::unique_ptr<PartionInfoAW, PartionInfoDeleter> table(
        CreatePartionInfo(PartionVariant::Sarnet, mbrPath.c_str(), dlinfoPath.c_str()));
    if (!table) {
        Diag("Load MBR and dlInfo Failed\n");
        return 124;
    }
    const int capacity = table->GetCapacity(); // M
    int downloads = table->GetDownloadCount(); // D
    if (downloads < 0) downloads = 0;
    if (downloads > capacity) downloads = capacity; // the list never holds more
    int partCount = table->GetPartCount();
    if (partCount < 0) partCount = 0;
    if (partCount > capacity) partCount = capacity;

    std::memset(info, 0, sizeof *info);
    auto earlyEnd = [&](int line, int result) {
        DiagError(kUnit, line, "ParseScriptInfo", "err = %d", result);
        return result;
    };

    char value[kValueSize];
    if (!ini.GetValue("process", "version", value, sizeof value)) {
        KeyMissingBox("process", "version");
        return earlyEnd(__LINE__, 0);
    }
    info->version = Decimal(value);
    if (!ini.GetValue("process", "mode", value, sizeof value)) {
        KeyMissingBox("process", "mode");
        return earlyEnd(__LINE__, 0);
    }
    info->mode = ModeCode(value);
    int result = 1;
    const bool product = info->mode == ScriptModeProduct;

    std::vector<std::string> sections;
    const int sectionCount = ini.GetSectionNames(sections); // S
    if (sectionCount < 2 || static_cast<size_t>(sectionCount) != sections.size()) {
        char text[kValueSize + 128];
        std::snprintf(text, sizeof text,
                      "Script error: %s has %d sections, it needs at least the process and the "
                      "partition-table sections.",
                      scriptPath, sectionCount);
        ShowBoxText(text, "Error");
        return earlyEnd(__LINE__, result);
    }
    const int stepSections = sectionCount - 2; // N

    if (info->version != SCRIPT_VERSION) {
        ShowBoxText("Image error, use new version image file!", "Error");
        return earlyEnd(__LINE__, result);
    }

    const size_t steps =
        static_cast<size_t>(sectionCount) + static_cast<size_t>(product ? 2 : downloads);
    auto* items = static_cast<ScriptItem*>(std::calloc(steps, sizeof(ScriptItem)));
    if (!items) return earlyEnd(__LINE__, 220);
    info->items = items;
    info->steps = static_cast<uint32_t>(steps);

    static const char* const kNumberKeys[] = {"start",  "sectors", "type",   "param0",
                                              "param1", "param2",  "param3", "param4",
                                              "param5", "param6",  "param7"};
    for (int n = 0; n < stepSections; ++n) {
        const char* section = sections[static_cast<size_t>(n) + 1].c_str();
        ScriptItem& item = items[n];
        if (!ini.GetValue(section, "main", value, sizeof value)) {
            KeyMissingBox(section, "main");
            return earlyEnd(__LINE__, 0);
        }
        CopyCut(item.main, sizeof item.main, value, 8);
        if (!ini.GetValue(section, "sub", value, sizeof value)) {
            KeyMissingBox(section, "sub");
            return earlyEnd(__LINE__, 0);
        }
        CopyCut(item.sub, sizeof item.sub, value, 16);
        int32_t numbers[11];
        for (int k = 0; k < 11; ++k) {
            if (!ini.GetValue(section, kNumberKeys[k], value, sizeof value)) {
                KeyMissingBox(section, kNumberKeys[k]);
                return earlyEnd(__LINE__, 0);
            }
            numbers[k] = static_cast<int32_t>(Decimal(value));
            // Filled as read, so that a later missing key keeps what was there.
            if (k == 0) item.start = numbers[k];
            if (k == 1) item.sectors = numbers[k];
            if (k == 2) item.type = numbers[k];
            if (k >= 3) item.param[k - 3] = numbers[k];
        }
        if (!ini.GetValue(section, "commen", value, sizeof value)) {
            KeyMissingBox(section, "commen");
            return earlyEnd(__LINE__, 0);
        }
        CopyCut(item.commen, sizeof item.commen, value, sizeof item.commen - 1);
        if (!ini.GetValue(section, "commchs", value, sizeof value)) {
            KeyMissingBox(section, "commchs");
            return earlyEnd(__LINE__, 0);
        }
        CopyCut(item.commchs, sizeof item.commchs, value, sizeof item.commchs - 1);
    }

    // The partition table: all partition starts count from its sector.
    const char* tableSection = sections.back().c_str();
    uint32_t tableSector = kDefaultTableSector;
    if (ini.GetValue(tableSection, "start", value, sizeof value)) {
        tableSector = Decimal(value);
        result = 1;
    } else {
        result = 0;
    }
    ScriptItem& mbr = items[stepSections];
    SetName(mbr, "12345678", "1234567890___mbr");
    mbr.start = static_cast<int32_t>(tableSector);
    mbr.type = 1;
    SetLabels(mbr, "MBR", "MBR");

    size_t next = static_cast<size_t>(stepSections) + 1;
    if (product) {
        int first = 0;
        bool found = false;
        for (int i = 0; i < partCount && !found; ++i) {
            const std::string name = PartName(*table, i);
            for (int j = 0; j < downloads; ++j) {
                const std::string part = DownloadText(*table, j, false);
                if (strcasecmp(name.c_str(), part.c_str()) == 0) {
                    first = i;
                    found = true;
                    Diag("[%s][%s]nFirstPart = %d", name.c_str(), part.c_str(), i);
                    break;
                }
            }
        }
        param->res = static_cast<uint32_t>(first);
        const uint32_t firstStart = tableSector + table->GetStart(first);
        const uint32_t firstLength = table->GetLength(first);

        std::string file = DownloadText(*table, 0, true);
        for (char& c : file)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        ScriptItem& data = items[next++];
        SetName(data, "RFSFAT16", file.c_str());
        data.start = static_cast<int32_t>(firstStart);
        data.type = 1;
        SetLabels(data, DownloadText(*table, 0, false).c_str(), PartName(*table, first).c_str());

        ScriptItem& image = items[next++];
        SetName(image, "thisfile", "1234567890123456");
        image.start = static_cast<int32_t>(firstStart + firstLength);
        image.type = 0;
        SetLabels(image, "IMG File", "IMG File");

        ScriptItem& perCard = items[next++];
        SetName(perCard, "thisdata", "thisdata00000000");
        if (ini.GetValue("process", "startpos", value, sizeof value)) {
            perCard.start = static_cast<int32_t>(Decimal(value));
            result = 1;
        } else {
            result = 0;
        }
        perCard.type = 0;
        SetLabels(perCard, "DATA File", "DATA File");

        for (int k = 0; k < capacity; ++k) {
            if (PartName(*table, k) == "UDISK") {
                mbr.param[0] = k;
                break;
            }
        }
    } else {
        // One item per named download entry; the array has room for D of them
        // and the data file behind.
        for (int k = 0; k < capacity && k < downloads && next + 1 < steps; ++k) {
            const std::string file = DownloadText(*table, k, true);
            if (file.empty()) break;
            const std::string part = DownloadText(*table, k, false);
            const uint32_t partStart = table->GetStartByName(part.c_str());
            ScriptItem& item = items[next++];
            SetName(item, "RFSFAT16", file.c_str());
            item.start = static_cast<int32_t>(tableSector + partStart);
            item.type = 1;
            const std::string label = PartName(*table, k);
            SetLabels(item, label.c_str(), label.c_str());
            Diag("part: [%s] start: [0x%x]", part.c_str(), partStart);
        }
        uint32_t lastStart = 0;
        for (int k = capacity - 1; k >= 0; --k) {
            if (uint32_t s = table->GetStart(k)) {
                lastStart = s;
                break;
            }
        }
        ScriptItem& perCard = items[next++];
        SetName(perCard, "thisdata", "thisdata00000000");
        perCard.start = static_cast<int32_t>(tableSector + lastStart);
        perCard.type = 0;
        SetLabels(perCard, "DATA File", "DATA File");
    }
    // Download entries without a file name leave no empty records behind.
    info->steps = static_cast<uint32_t>(next);

    Diag("ParseScriptInfo ok");
    return result;
}

} // namespace vorlane::sarnet
