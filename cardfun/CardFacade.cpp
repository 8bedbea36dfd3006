#include "CardFacade.h"

#include "CardFunLog.h"
#include "IniParasor.h"
#include "Interfaces.h"
#include "VorlanePlatform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorlane::cardfun {

namespace {

constexpr const char* kFile = "CardFacade";

// Built-in texts for the language ids the library uses, shown when the
// language plug-in or one of its texts is missing.
const char* FallbackText(int id) {
    switch (id) {
    case kTextImageOpen:
        return "The image file cannot be opened.";
    case kTextScript:
        return "The image script cannot be extracted from the image.";
    case kTextCardTool:
        return "The card tool cannot be extracted from the image or loaded.";
    case kTextTables:
        return "The partition table or the download list cannot be extracted.";
    case kTextFailed:
        return "Drive %c failed: %d";
    case kTextRestore:
        return "Restoring the card...";
    case kTextRestored:
        return "The card is restored.";
    case kTextBurn:
        return "Preparing the card...";
    default:
        return "";
    }
}

// The plug-ins that Initialize loads, in this order; the first six are also
// the card tool's interfaces.
struct PluginRow {
    const char* id;
    const char* file;
};
constexpr PluginRow kPluginTable[] = {
    {VORLANE_IID_CHECKSUM, "crc32.so"},       {VORLANE_IID_DECODER64, "Unspool64.so"},
    {VORLANE_IID_CARD_DEVICE, "Quillon.so"},  {VORLANE_IID_OSTRAND, "Ostrand.so"},
    {VORLANE_IID_CONFIG_PARSER, "config.so"}, {VORLANE_IID_SUM, "Tessary.so"},
    {VORLANE_IID_VOLUME_FORMAT, "Brevik.so"}, {VORLANE_IID_TABLE_CONVERSION, "Caldrin.so"},
};
static_assert(sizeof kPluginTable / sizeof kPluginTable[0] == 8, "plug-in table");

bool FileReadable(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    fclose(f);
    return true;
}

// [option] values of "option.cfg": missing keys read as empty text and 0.
std::string OptionText(const IniParasor& ini, const char* key) {
    char value[512] = {};
    if (ini.GetValue("option", key, value) != 0) return "";
    return value;
}

int OptionNumber(const IniParasor& ini, const char* key) {
    std::string text = OptionText(ini, key);
    return text.empty() ? 0 : atoi(text.c_str());
}

} // namespace

bool CopyWholeFile(const char* from, const char* to) {
    // Data volumes are sparse files of the volume's full size: only their
    // written extents are copied, the holes stay holes.
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat st;
    if (fstat(in, &st) != 0) {
        close(in);
        return false;
    }
    int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        close(in);
        return false;
    }
    bool ok = true;
    std::vector<char> buffer(1 << 20);
    off_t position = 0;
    while (ok && position < st.st_size) {
        off_t data = lseek(in, position, SEEK_DATA);
        if (data < 0 && errno == ENXIO) break; // only a hole remains
        off_t hole = st.st_size;
        if (data < 0) {
            data = position; // no extent support: copy everything
        } else {
            hole = lseek(in, data, SEEK_HOLE);
            if (hole < 0) hole = st.st_size;
        }
        for (off_t at = data; ok && at < hole;) {
            size_t chunk = size_t(std::min<off_t>(hole - at, off_t(buffer.size())));
            ssize_t n = pread(in, buffer.data(), chunk, at);
            ok = n > 0 && pwrite(out, buffer.data(), size_t(n), at) == n;
            at += n > 0 ? n : 0;
        }
        position = hole;
    }
    if (ok && ftruncate(out, st.st_size) != 0) ok = false;
    close(in);
    if (close(out) != 0) ok = false;
    return ok;
}

int CCardFacade::ModuleFilePath(const char* name, char* out) {
    if (!name || !out) return kPathNullArgument;
    memset(out, 0, VORLANE_MAX_PATH);
    if (VpWorkPath(out, VORLANE_MAX_PATH, name) != 0) {
        out[0] = '\0';
        return kPathTooLong;
    }
    return 0;
}

void CCardFacade::DeleteModuleFile(const char* name) {
    char path[VORLANE_MAX_PATH];
    if (ModuleFilePath(name, path) != 0) return;
    if (FileReadable(path)) unlink(path);
}

CCardFacade::CCardFacade() = default;

CCardFacade::~CCardFacade() {
    if (m_burnMutex) CloseHandle(m_burnMutex);
}

void CCardFacade::LoadAtStartup() {
    m_imageDec = std::make_unique<ImageDecMan>();
    if (VpModulePath(m_languagePath, sizeof m_languagePath, "mavrelfunc.lan") != 0)
        m_languagePath[0] = '\0';
    m_firstCenter = LoadPluginCenter();
    if (m_firstCenter) {
        PluginLoadRecord record;
        if (MakeLoadRecord(&record, VORLANE_IID_LANGUAGE_LIB, "Vocabraex_1.so"))
            m_firstCenter->LoadPlugin(&record);
        m_language = static_cast<const LanguageTable*>(
            m_firstCenter->GetPluginInterface(VORLANE_IID_LANGUAGE_LIB));
        char drevant[VORLANE_MAX_PATH];
        if (VpModulePath(drevant, sizeof drevant, "Drevant.so") == 0 &&
            MakeLoadRecord(&record, VORLANE_IID_CARD_OPERATIONS, drevant))
            m_firstCenter->LoadPlugin(&record);
        m_cardOps = static_cast<const CardOperationsTable*>(
            m_firstCenter->GetPluginInterface(VORLANE_IID_CARD_OPERATIONS));
    }
    if (m_language && m_language->LoadLanguageFile && m_languagePath[0])
        m_language->LoadLanguageFile(m_languagePath);
    m_center = LoadPluginCenter();
    LogOpen();
    if (!m_firstCenter) {
        m_constructError = kNoPluginCenter;
        LogError(kFile, __LINE__, "CCardFacade::CCardFacade",
                 "the plug-in centre Hubrix.so is missing");
    } else if (!m_cardOps) {
        m_constructError = kNoCardOperations;
        LogError(kFile, __LINE__, "CCardFacade::CCardFacade",
                 "the card-operations service Drevant.so is missing");
    }
    if (!m_language)
        LogError(kFile, __LINE__, "CCardFacade::CCardFacade",
                 "the language plug-in Vocabraex_1.so is missing; built-in texts are used");
}

const char* CCardFacade::GetText(int id) const {
    const char* text = nullptr;
    if (m_language && m_language->GetText) text = m_language->GetText(id, 1);
    return text && *text ? text : FallbackText(id);
}

void CCardFacade::ShowMessage(int textId, bool withOwner) const {
    MessageBoxA(withOwner ? m_mainWindow : nullptr, GetText(textId), "VorlaneCard", MB_OK);
}

int CCardFacade::Initialize() {
    m_center = LoadPluginCenter();
    if (!m_center) {
        LogError(kFile, __LINE__, "CCardFacade::Initialize", "no plug-in centre");
        return kNoPluginCenter;
    }
    if (!m_cardOps) {
        LogError(kFile, __LINE__, "CCardFacade::Initialize", "no card-operations service");
        return kNoCardOperations;
    }
    if (!m_burnMutex) m_burnMutex = CreateMutexA(nullptr, 0, "CArdFace");
    for (const PluginRow& row : kPluginTable) {
        PluginLoadRecord record;
        if (MakeLoadRecord(&record, row.id, row.file)) m_center->LoadPlugin(&record);
    }
    m_conversion = static_cast<const TableConversionTable*>(
        m_center->GetPluginInterface(VORLANE_IID_TABLE_CONVERSION));
    if (!m_conversion) {
        LogError(kFile, __LINE__, "CCardFacade::Initialize", "no table-conversion service");
        return kNoConversionService;
    }
    if (!m_parser) {
        m_parser =
            static_cast<const OstrandTable*>(m_center->GetPluginInterface(VORLANE_IID_OSTRAND));
        if (m_parser && m_parser->Init) {
            int r = m_parser->Init(0);
            if (r != 0) return r;
        }
    }
    int r = LoadConfig();
    if (r != 0) {
        OutputDebugStringA(GetText(kTextScript));
        return r;
    }
    ReadOptions();
    DeleteModuleFile("mbr_new.fex");
    return 0;
}

void CCardFacade::ReadOptions() {
    m_toolSource.clear();
    m_userData = 0;
    char optionPath[VORLANE_MAX_PATH];
    if (ModuleFilePath("option.cfg", optionPath) == 0 && FileReadable(optionPath)) {
        IniParasor ini(optionPath);
        ini.Load(optionPath);
        m_userData = OptionNumber(ini, "userdata");
        int active = OptionNumber(ini, "activeToolsrc");
        std::string source = OptionText(ini, "Toolsrc");
        for (char& c : source)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        if (!source.empty() && source != "IMG" && active == 1) {
            char path[VORLANE_MAX_PATH];
            if (ModuleFilePath(source.c_str(), path) == 0 && FileReadable(path)) {
                m_toolSource = path;
            } else {
                LogError(kFile, __LINE__, "CCardFacade::ReadOptions",
                         "tool source %s cannot be read; the image's card tool is used",
                         source.c_str());
            }
        }
    }
}

int CCardFacade::LoadConfig() {
    if (m_configLoaded) return 0;
    if (!m_parser || !m_parser->FindParser) return kNoParser;
    ParserEntry* handler = m_parser->FindParser("config_ini");
    if (!handler || !handler->parse) return kNoConfigHandler;
    char path[VORLANE_MAX_PATH];
    int r = ModuleFilePath("config.cfg", path);
    if (r != 0) return r;
    const void* reader =
        m_center ? m_center->GetPluginInterface(VORLANE_IID_CONFIG_PARSER) : nullptr;
    r = handler->parse(&m_config, sizeof m_config, path, reader);
    if (r == 0) m_configLoaded = 1;
    return r;
}

int CCardFacade::Release() {
    if (m_configLoaded) {
        memset(&m_config, 0, sizeof m_config);
        m_configLoaded = 0;
    }
    if (m_parser) {
        int r = m_parser->Exit ? m_parser->Exit(0) : 0;
        if (r != 0) return r;
        m_parser = nullptr;
    }
    memset(m_imagePath, 0, sizeof m_imagePath);
    if (m_sarnet) {
        if (m_center) m_center->UnloadPlugin(VORLANE_IID_SARNET);
        m_sarnet = nullptr;
    }
    for (const char* name : {"card.scj", "script.cfg", "mbr.fex", "dlinfo.fex", "dynamic.fex",
                             "gpt.fex", "mbr_new.fex"})
        DeleteModuleFile(name);
    if (m_burnMutex) {
        CloseHandle(m_burnMutex);
        m_burnMutex = nullptr;
    }
    return 0;
}

int CCardFacade::GetFileFromImage() {
    if (m_sarnet) {
        if (m_center) m_center->UnloadPlugin(VORLANE_IID_SARNET);
        m_sarnet = nullptr;
    }
    DeleteModuleFile("script.cfg");
    if (!m_imageDec) return kNoDecoder;

    struct Step {
        const char* file;
        const ItemName* name;
        int notLoaded;
        int text; // 0: the step never fails
    };
    const Step steps[] = {
        {"script.cfg", &m_config.script, kScriptNotLoadedConfig, kTextScript},
        {"card.scj", &m_config.card, kCardNotLoadedConfig, kTextCardTool},
        {"mbr.fex", &m_config.mbr, kMbrNotLoadedConfig, kTextTables},
        {"gpt.fex", &m_config.gpt, kGptNotLoadedConfig, 0},
        {"dlinfo.fex", &m_config.dlinfo, kDlinfoNotLoadedConfig, kTextTables},
    };
    for (const Step& step : steps) {
        if (!m_configLoaded) {
            if (step.text) ShowMessage(step.text, true);
            return step.notLoaded;
        }
        char out[VORLANE_MAX_PATH];
        int r = ModuleFilePath(step.file, out);
        if (r != 0) {
            if (step.text) ShowMessage(step.text, true);
            return r;
        }
        if (step.text == 0) {
            // The GPT description is optional: its absence only clears the flag.
            DeleteModuleFile(step.file);
            r = m_imageDec->GetImageItem(step.name->main, step.name->sub, m_imagePath, out);
            m_gptFlag = r == 0 ? 1 : 0;
            continue;
        }
        if (step.name == &m_config.card && !m_toolSource.empty()) {
            // An alternative card tool from "option.cfg" replaces the image's one.
            if (!CopyWholeFile(m_toolSource.c_str(), out)) {
                LogError(kFile, __LINE__, "CCardFacade::GetFileFromImage",
                         "copying the tool source %s to %s failed", m_toolSource.c_str(), out);
                ShowMessage(step.text, true);
                return kCardToolCopy;
            }
            continue;
        }
        r = m_imageDec->GetImageItem(step.name->main, step.name->sub, m_imagePath, out);
        if (r != 0) {
            ShowMessage(step.text, true);
            return r;
        }
    }
    return 0;
}

int CCardFacade::LoadSarnet() {
    char path[VORLANE_MAX_PATH];
    int r = ModuleFilePath("card.scj", path);
    if (r != 0) return r;
    if (!m_center) return kNoPluginCenter;
    PluginLoadRecord record;
    if (MakeLoadRecord(&record, VORLANE_IID_SARNET, path)) m_center->LoadPlugin(&record);
    m_sarnet = static_cast<const SarnetTable*>(m_center->GetPluginInterface(VORLANE_IID_SARNET));
    if (!m_sarnet)
        LogError(kFile, __LINE__, "CCardFacade::LoadSarnet", "###### Load plugin [card.scj] error");
    return 0;
}

int CCardFacade::ReloadSarnet() {
    if (m_sarnet) {
        if (m_center) m_center->UnloadPlugin(VORLANE_IID_SARNET);
        m_sarnet = nullptr;
    }
    int r = LoadSarnet();
    if (r != 0) ShowMessage(kTextCardTool, true);
    return r;
}

int CCardFacade::ToolParamInitial(ToolParam* block, char letter) {
    memset(block, 0, sizeof *block);
    block->version = TOOLPARAM_VERSION;
    block->size = sizeof(ToolParam);
    memcpy(&block->magic, "card", 4);
    block->burnMode = 2;
    char workDir[VORLANE_MAX_PATH];
    if (VpWorkDir(workDir, sizeof workDir) != 0 ||
        !FormatText(block->workPath, sizeof block->workPath, "%s/%c", workDir, letter) ||
        !FormatText(block->imagePath, sizeof block->imagePath, "%s", m_imagePath) ||
        !FormatText(block->scriptPath, sizeof block->scriptPath, "%s/script.cfg%c", workDir,
                    letter)) {
        LogError(kFile, __LINE__, "CCardFacade::ToolParamInitial", "a work path does not fit");
        return kPathTooLong;
    }
    VpDebugPrintf(1024, "ToolParamInitial: strcpy_s\n");
    block->interfaceCount = TOOLPARAM_INTERFACE_COUNT;
    block->interfaces =
        static_cast<InterfaceEntry*>(calloc(TOOLPARAM_INTERFACE_COUNT, sizeof(InterfaceEntry)));
    if (!block->interfaces) return kNoInterfaceArray;
    VpDebugPrintf(1024, "ToolParamInitial: strcpy_s\n");
    for (int i = 0; i < TOOLPARAM_INTERFACE_COUNT; ++i) {
        memcpy(block->interfaces[i].id, kPluginTable[i].id, VORLANE_IID_LENGTH);
        block->interfaces[i].table =
            m_center ? m_center->GetPluginInterface(kPluginTable[i].id) : nullptr;
    }
    // The card tool reads the image through the decoder that opened it.
    block->interfaces[1].table = m_imageDec ? m_imageDec->CurrentDecoder() : nullptr;
    VpDebugPrintf(1024, "ToolParamInitial: interface init\n");
    block->drive = letter;
    block->notifyWindow = m_mainWindow;
    if (m_WriteMode == 1) {
        char optionPath[VORLANE_MAX_PATH];
        if (ModuleFilePath("option.cfg", optionPath) == 0 && FileReadable(optionPath)) {
            IniParasor ini(optionPath);
            ini.Load(optionPath);
            int active = OptionNumber(ini, "activeFirstPartSize");
            int size = OptionNumber(ini, "FirstPartSize");
            if (active == 1 && size > 0) {
                VpDebugPrintf(1024, "the first partition is empty setting actived\n");
                block->Extension = static_cast<uint32_t>(size);
                block->res = TOOLPARAM_RES_FIRST_PART_EMPTY;
            }
        }
    }
    LogInfo(kFile, __LINE__, "CCardFacade::ToolParamInitial", "exit ToolParamInitial\n");
    return 0;
}

int CCardFacade::StartCardThread(char letter) {
    const char* fn = "CCardFacade::StartCardThread";
    auto* block = static_cast<ToolParam*>(calloc(1, sizeof(ToolParam)));
    if (!block) {
        LogError(kFile, __LINE__, fn, "Burn card failed!");
        return kNoParamBlock;
    }
    LogInfo(kFile, __LINE__, fn, "########## begin ToolParamInitial");
    VpDebugPrintf(1024, "enter in ToolParamInitial\n");
    int r = ToolParamInitial(block, letter);
    LogInfo(kFile, __LINE__, fn, "########## after ToolParamInitial");
    if (r != 0) {
        free(block->interfaces);
        free(block);
        LogError(kFile, __LINE__, fn, "Burn card failed!");
        return r;
    }
    auto runTool = [&] {
        if (!m_sarnet || !m_sarnet->SarnetEntry) {
            LogError(kFile, __LINE__, fn, "########## m_sarnet == NULL");
            OnCardToolMissing(letter);
        } else {
            m_sarnet->SarnetEntry(block); // the outcome arrives through the notifications
        }
    };
    // Startup cards of big images run their card tools one at a time.
    if (m_WriteMode == 1 && m_imageSize > m_bigImageBytes && m_burnMutex) {
        LogInfo(kFile, __LINE__, fn, "m_WriteMode ==1 before start burn card thread");
        WaitForSingleObject(m_burnMutex, INFINITE);
        LogInfo(kFile, __LINE__, fn, "########## Now before SarnetEntry");
        runTool();
        ReleaseMutex(m_burnMutex);
    } else {
        LogInfo(kFile, __LINE__, fn, "m_WriteMode =%d before start burn card thread",
                static_cast<int>(m_WriteMode));
        runTool();
    }
    LogInfo(kFile, __LINE__, fn, "after burn card thread");
    char name[32];
    snprintf(name, sizeof name, "thisdata.fex%c", letter);
    DeleteModuleFile(name);
    snprintf(name, sizeof name, "script.cfg%c", letter);
    DeleteModuleFile(name);
    if (block->scriptInfo) {
        auto* info = static_cast<ScriptInfo*>(block->scriptInfo);
        free(info->items);
        free(info);
    }
    free(block->interfaces);
    free(block);
    LogInfo(kFile, __LINE__, fn, "end burn card thread");
    return 0;
}

} // namespace vorlane::cardfun
