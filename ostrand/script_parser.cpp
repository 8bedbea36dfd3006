// ParseScriptInfo: a card's script plus the partition table and download
// list beside it become the ordered list of burn steps.
#include "ParserSupport.h"
#include "Parsers.h"
#include "PartionInfo.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace vorlane::ostrand {

namespace {

constexpr const char* kSource = "script_parser";
constexpr const char* kFunction = "ParseScriptInfo";
constexpr int32_t kDefaultTableSector = 40960;
constexpr size_t kValue = 260;

constexpr int kNullArgument = 91;
constexpr int kUnreadable = 96;
constexpr int kOpenFailed = 97;
constexpr int kTooFewSections = 98;
constexpr int kPartitionFiles = 123;
constexpr int kNoMemory = 253;


uint16_t modeCode(const char* text) {
    static const char* const names[] = {"null", "product", "bromrun", "update", "test", "burnkey"};
    for (uint16_t i = 0; i < 6; ++i)
        if (std::strcmp(text, names[i]) == 0) return i;
    return ScriptModeNull;
}

void setName(ScriptItem& item, const char* main, const char* sub) {
    CopyCut(item.main, main, 8, 8);
    CopyCut(item.sub, sub, 16, 16);
}

void setLabels(ScriptItem& item, const char* commen, const char* commchs) {
    CopyCut(item.commen, commen, kValue, kValue - 1);
    CopyCut(item.commchs, commchs, kValue, kValue - 1);
}

// One parse: the open script, the partition-table reader and the result.
class ScriptParse {
  public:
    ScriptParse(ScriptInfo* info, const ConfigParserTable* table) : m_info(info), m_table(table) {}

    int Run(const char* path);

  private:
    // Looks a key up into m_value; remembers the outcome as the result.
    bool Lookup(const char* section, const char* key) {
        std::memset(m_value, 0, sizeof m_value);
        m_result = m_table->GetKeyString(m_config, section, key, m_value);
        return m_result == 0;
    }
    // A required key: a message box names it when it is missing.
    bool Require(const char* section, const char* key) {
        if (Lookup(section, key)) return true;
        char text[kValue * 2 + 64];
        std::snprintf(text, sizeof text, "GetKeyString(%s %s) failed", section, key);
        MessageBoxA(nullptr, text, "Error", MB_OK);
        return false;
    }
    int End() {
        m_table->CloseConfig(m_config);
        ReportError(kSource, __LINE__, kFunction, "err = %d", m_result);
        return m_result;
    }
    bool FillStep(ScriptItem& item, const char* section);
    void ProductItems(int32_t tableSector, uint32_t index, const char* startpos);
    void PartitionItems(int32_t tableSector, uint32_t index);

    ScriptInfo* m_info;
    const ConfigParserTable* m_table;
    void* m_config = nullptr;
    std::unique_ptr<PartionInfoAW> m_parts;
    int m_downloads = 0; // D
    int m_capacity = 0;  // M
    int m_result = 0;
    char m_value[kValue];
};

bool ScriptParse::FillStep(ScriptItem& item, const char* section) {
    if (!Require(section, "main")) return false;
    CopyCut(item.main, m_value, kValue, 8);
    if (!Require(section, "sub")) return false;
    CopyCut(item.sub, m_value, kValue, 16);
    if (!Require(section, "start")) return false;
    item.start = ReadDecimal(m_value);
    if (!Require(section, "sectors")) return false;
    item.sectors = ReadDecimal(m_value);
    if (!Require(section, "type")) return false;
    item.type = ReadDecimal(m_value);
    for (int p = 0; p < 8; ++p) {
        char key[8];
        std::snprintf(key, sizeof key, "param%d", p);
        if (!Require(section, key)) return false;
        item.param[p] = ReadDecimal(m_value);
    }
    if (!Require(section, "commen")) return false;
    CopyCut(item.commen, m_value, kValue, kValue - 1);
    if (!Require(section, "commchs")) return false;
    CopyCut(item.commchs, m_value, kValue, kValue - 1);
    return true;
}

void ScriptParse::ProductItems(int32_t tableSector, uint32_t index, const char* startpos) {
    ScriptItem* items = m_info->items;
    const int first = 0; // the first table partition receives the first download
    char part[kPartNameBuffer] = {};
    m_parts->GetPartName(first, part);
    char file[17] = {};
    m_parts->GetDownloadFile(0, file);
    for (char* c = file; *c; ++c)
        *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    const uint32_t start = m_parts->GetStart(first);

    ScriptItem& data = items[index + 1];
    setName(data, "RFSFAT16", file);
    data.start = static_cast<int32_t>(uint32_t(tableSector) + start);
    data.type = 1;
    setLabels(data, "", part);

    ScriptItem& image = items[index + 2];
    setName(image, "thisfile", "1234567890123456");
    image.start = static_cast<int32_t>(uint32_t(tableSector) + start + m_parts->GetLength(first));
    image.type = 0;
    setLabels(image, "IMG File", "IMG File");

    ScriptItem& card = items[index + 3];
    setName(card, "thisdata", "thisdata00000000");
    card.start = ReadDecimal(startpos); // an absolute sector
    card.type = 0;
    setLabels(card, "DATA File", "DATA File");

    for (int k = 0; k < m_capacity; ++k) {
        char name[kPartNameBuffer] = {};
        if (m_parts->GetPartName(k, name) == 0 && std::strcmp(name, "UDISK") == 0) {
            items[index].param[0] = k;
            break;
        }
    }
}

void ScriptParse::PartitionItems(int32_t tableSector, uint32_t index) {
    ScriptItem* items = m_info->items;
    // The download list ends at its first unnamed entry: entries past it
    // are not partitions, and the item array has room for D of them.
    for (int k = 0; k < m_capacity && k < m_downloads; ++k) {
        char file[17] = {}, target[17] = {}, part[kPartNameBuffer] = {};
        if (m_parts->GetDownloadFile(k, file) != 0 || file[0] == '\0') break;
        m_parts->GetDownloadPart(k, target);
        m_parts->GetPartName(k, part);
        ScriptItem& item = items[index++];
        setName(item, "RFSFAT16", file);
        item.start = static_cast<int32_t>(uint32_t(tableSector) + m_parts->GetStartByName(target));
        item.type = 1;
        setLabels(item, part, part);
    }
    uint32_t last = 0;
    for (int k = m_capacity - 1; k >= 0; --k)
        if ((last = m_parts->GetStart(k)) != 0) break;
    ScriptItem& card = items[index];
    setName(card, "thisdata", "thisdata00000000");
    card.start = static_cast<int32_t>(uint32_t(tableSector) + last);
    card.type = 0;
    setLabels(card, "DATA File", "DATA File");
}

int ScriptParse::Run(const char* path) {
    if (!IsReadableFile(path)) return kUnreadable;

    // The partition files lie in the script's directory: the path up to
    // and including its last "/" (none: the current directory).
    std::string dir(path);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
    m_parts.reset(CreatePartionInfo(PartionVariant::Ostrand, (dir + "mbr.fex").c_str(),
                                    (dir + "dlinfo.fex").c_str()));
    if (!m_parts) {
        OutputDebugStringA("Load MBR and dlInfo Failed\n");
        return kPartitionFiles;
    }
    m_downloads = m_parts->GetDownloadCount();
    m_capacity = m_parts->GetCapacity();

    std::memset(m_info, 0, sizeof *m_info);
    m_config = m_table->OpenConfig(path, 0);
    if (!m_config) {
        ReportError(kSource, __LINE__, kFunction, "OpenConfig failed");
        return kOpenFailed;
    }
    void* cursor = m_table->BeginSections(m_config);

    if (!Require("process", "version")) return End();
    m_info->version = static_cast<uint32_t>(ReadDecimal(m_value));
    if (!Require("process", "mode")) return End();
    m_info->mode = modeCode(m_value);

    uint32_t sections = 0;
    if (m_table->GetSectionCount(m_config, &sections) != 0) sections = 0;

    if (m_info->version != SCRIPT_VERSION) {
        MessageBoxA(nullptr, "Image error, use new version image file!", "Error", MB_OK);
        return End();
    }
    // Without a process and a partition-table section there is no place
    // for the partition-table item.
    if (sections < 2) {
        ReportError(kSource, __LINE__, kFunction, "%u sections, at least 2 needed", sections);
        m_result = kTooFewSections;
        return End();
    }
    const uint32_t steps = m_info->mode == ScriptModeProduct
                               ? sections + 2
                               : sections + static_cast<uint32_t>(m_downloads);
    auto* items = static_cast<ScriptItem*>(std::calloc(steps, sizeof(ScriptItem)));
    if (!items) {
        m_result = kNoMemory;
        return End();
    }
    m_info->items = items;
    m_info->steps = steps;

    char name[kValue];
    const uint32_t stepSections = sections - 2;
    std::memset(name, 0, sizeof name);
    m_table->NextSection(m_config, cursor, name); // the process section
    for (uint32_t i = 0; i < stepSections; ++i) {
        std::memset(name, 0, sizeof name);
        m_table->NextSection(m_config, cursor, name);
        if (!FillStep(items[i], name)) return End();
    }

    std::memset(name, 0, sizeof name);
    m_table->NextSection(m_config, cursor, name);
    int32_t tableSector = Lookup(name, "start") ? ReadDecimal(m_value) : kDefaultTableSector;

    ScriptItem& table = items[stepSections];
    setName(table, "12345678", "1234567890___mbr");
    table.start = tableSector;
    table.type = 1;
    setLabels(table, "MBR", "MBR");

    if (m_info->mode == ScriptModeProduct) {
        char startpos[kValue] = {};
        if (Lookup("process", "startpos")) std::memcpy(startpos, m_value, sizeof startpos);
        ProductItems(tableSector, stepSections, startpos);
    } else {
        PartitionItems(tableSector, stepSections + 1);
    }

    m_table->CloseConfig(m_config);
    ReportPlain("DumpScriptInfo: steps=%u\n", m_info->steps);
    ReportPlain("ParseScriptInfo ok\n");
    return m_result;
}

} // namespace

int ParseScriptInfo(ScriptInfo* info, const char* path, const ConfigParserTable* table) {
    if (!info || !path || !table) return kNullArgument;
    if (!table->OpenConfig || !table->CloseConfig || !table->GetSectionCount ||
        !table->BeginSections || !table->NextSection || !table->GetKeyString)
        return kNullArgument;
    ScriptParse parse(info, table);
    return parse.Run(path);
}

} // namespace vorlane::ostrand
