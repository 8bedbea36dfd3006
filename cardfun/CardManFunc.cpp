#include "CardManFunc.h"

#include "CardFunLog.h"
#include "IniParasor.h"
#include "PartionInfo.h"
#include "VorlanePlatform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>

namespace vorlane::cardfun {

namespace {
constexpr const char* kFile = "CardManFunc";
} // namespace

CardManFunc::~CardManFunc() = default;

void CardManFunc::Notify(char letter, const char* text, int code) const {
    MessageFunc func = m_messageFunc;
    if (func) func(static_cast<char>(static_cast<unsigned char>(letter)), text ? text : "", code);
}

void CardManFunc::FailWithCode(char letter, int code) {
    char text[512];
    FormatLetterCode(text, sizeof text, GetText(kTextFailed), letter, code);
    Notify(letter, text, CardMessageFailed);
}

int64_t CardManFunc::ImageFileSize() const {
    struct stat st;
    if (m_imagePath[0] && stat(m_imagePath, &st) == 0) return static_cast<int64_t>(st.st_size);
    return 0;
}

int CardManFunc::SetImagePath(const char* path) {
    const char* fn = "CardManFunc::SetImagePath";
    m_imagePathText = path ? path : "";
    FILE* probe = fopen(m_imagePathText.c_str(), "rb");
    if (probe && m_imagePathText.size() < sizeof m_imagePath) {
        fclose(probe);
        memset(m_imagePath, 0, sizeof m_imagePath);
        memcpy(m_imagePath, m_imagePathText.data(), m_imagePathText.size());
        m_imageSize = ImageFileSize();
    } else {
        if (probe) {
            fclose(probe);
            LogError(kFile, __LINE__, fn, "image path of %zu bytes does not fit",
                     m_imagePathText.size());
        }
        ShowMessage(kTextImageOpen, false);
    }
    m_imageSectors = ImageFileSize() / 512;
    int r = CheckImageFile();
    if (r != 0) {
        LogError(kFile, __LINE__, fn, "SetImage Error CheckckImage Return (%d)", r);
        return kImageRejected;
    }
    r = ReloadSarnet();
    if (r == 0) {
        char config[VORLANE_MAX_PATH];
        if (ModuleFilePath("config.cfg", config) == 0) {
            IniParasor ini(config);
            ini.Load(config);
            ini.SetValue("Img File", "path", m_imagePath);
            ini.Save();
        }
    }
    m_imageSectors = ImageFileSize() / 512;
    unlink("mbr_new.fex");
    return 0;
}

int CardManFunc::CheckImageFile() {
    const char* fn = "CardManFunc::CheckImageFile";
    int r = GetFileFromImage();
    if (r != 0) {
        LogError(kFile, __LINE__, fn, "GetFileFrom Image return %d", r);
        m_imagePathText.clear();
        memset(m_imagePath, 0, sizeof m_imagePath);
        return r;
    }
    char script[VORLANE_MAX_PATH], mbr[VORLANE_MAX_PATH], dlinfo[VORLANE_MAX_PATH];
    if ((r = ModuleFilePath("script.cfg", script)) != 0 ||
        (r = ModuleFilePath("mbr.fex", mbr)) != 0 ||
        (r = ModuleFilePath("dlinfo.fex", dlinfo)) != 0)
        return r;
    IniParasor ini(script);
    ini.Load(script);
    std::unique_ptr<PartionInfoAW> record(CreatePartionInfo(PartionVariant::CardFun, mbr, dlinfo));
    if (!record) {
        LogError(kFile, __LINE__, fn, "mbr.fex / dlinfo.fex of the image cannot be read");
        return kCheckRecord;
    }
    // The per-card data area follows the partition that the download list fills last.
    int index = 1;
    int parts = std::min(record->GetPartCount(), record->GetCapacity());
    int downloads = record->GetDownloadCount();
    for (int i = 0; i < parts; ++i) {
        int t = 0;
        char name[kPartNameBuffer + 16] = {};
        record->GetPartName(i, name);
        for (int j = 0; j < downloads; ++j) {
            char part[17] = {};
            if (record->GetDownloadPart(j, part) != 0) continue;
            if (strcasecmp(name, part) == 0) {
                VpDebugPrintf(1024, "[%s][%s]nThisDataIndex_tmp = %d", name, part, i);
                t = i;
                break;
            }
        }
        index = t + 1;
    }
    m_thisDataIndex = index;
    VpDebugPrintf(1024, "nThisDataIndex = %d", index);
    int64_t start = int64_t(record->GetStart(index)) + record->GetLength(index) + m_imageSectors;
    char value[260] = {};
    uint32_t boot = kDefaultBootStart;
    if (ini.GetValue("card_boot", "start", value) == 0 && value[0])
        boot = static_cast<uint32_t>(strtoul(value, nullptr, 10));
    m_bootStart = boot;
    start += boot;
    char text[32];
    snprintf(text, sizeof text, "%" PRId64, start);
    ini.SetValue("process", "startpos", text);
    ini.Save();
    return 0;
}

int CardManFunc::PrepareScript(char letter, int mode) {
    char script[VORLANE_MAX_PATH], copy[VORLANE_MAX_PATH], name[32];
    snprintf(name, sizeof name, "script.cfg%c", letter);
    if (ModuleFilePath("script.cfg", script) != 0 || ModuleFilePath(name, copy) != 0) {
        m_WriteMode = mode;
        return 0;
    }
    CopyWholeFile(script, copy);
    IniParasor ini(copy);
    ini.Load(copy);
    const char* word = mode == 0 ? "product" : mode == 1 ? "bromrun" : mode == 2 ? "burnkey" : "";
    ini.SetValue("process", "mode", word);
    if (mode != 1) ini.SetValue("process", "data", "0");
    m_WriteMode = mode;
    ini.Save();
    return 0;
}

void CardManFunc::OnCardToolMissing(char letter) {
    std::lock_guard<std::mutex> lock(m_stateLock);
    m_state[static_cast<unsigned char>(letter)].toolMissing = true;
}

int CardManFunc::BurnCard(char letter, int mode) {
    const char* fn = "CardManFunc::BurnCard";
    if (mode == BurnModeRestore) {
        VpDebugPrintf(1024, "Now start restorecard.\n");
        Notify(letter, "0", CardMessageProgress);
        Notify(letter, GetText(kTextRestore), CardMessageText);
        int r = ClearDosPartitionTableData(letter);
        if (r != 0) {
            FailWithCode(letter, r);
            return r;
        }
        Notify(letter, GetText(kTextRestored), CardMessageText);
        Notify(letter, "ok", CardMessageDone);
        return 0;
    }
    if (mode < BurnModeProduct || mode > BurnModeKey) {
        char text[128];
        snprintf(text, sizeof text, "%c: unknown card kind %d", letter, mode);
        LogError(kFile, __LINE__, fn, "%s", text);
        Notify(letter, text, CardMessageFailed);
        return kBurnFailed;
    }
    unsigned char slot = static_cast<unsigned char>(letter);
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_state[slot] = BurnState{};
        m_state[slot].active = true;
    }
    auto finish = [&](int result) {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_state[slot] = BurnState{};
        return result;
    };
    PrepareScript(letter, mode);
    VpDispatchThreadMessages();
    Notify(letter, "0", CardMessageProgress);
    Notify(letter, GetText(kTextBurn), CardMessageText);
    LogInfo(kFile, __LINE__, fn, "########## Now Begin FormatCard");
    int r = FormatToProCard(letter);
    if (r != 0) {
        std::string text = TakeErrorText(letter);
        if (!text.empty())
            Notify(letter, text.c_str(), CardMessageFailed);
        else
            FailWithCode(letter, r);
        LogError(kFile, __LINE__, fn, "########## FormatCard Failed.");
        return finish(kBurnFailed);
    }
    LogInfo(kFile, __LINE__, fn, "########## FormatCard success");
    r = StartCardThread(letter);
    BurnState state;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        state = m_state[slot];
    }
    if (r != 0) {
        if (!state.toolFailed) FailWithCode(letter, r);
        return finish(kBurnFailed);
    }
    if (state.toolFailed) return finish(kBurnFailed); // already reported by the card tool
    if (!state.toolDone) {
        char text[512];
        if (state.toolMissing)
            snprintf(text, sizeof text,
                     "%c: the card tool (card.scj) is not loaded; select the image again", letter);
        else
            snprintf(text, sizeof text, "%c: the card tool ended without reporting a result",
                     letter);
        LogError(kFile, __LINE__, fn, "%s", text);
        Notify(letter, text, CardMessageFailed);
        return finish(kBurnFailed);
    }
    r = m_gptFlag == 1 ? SetGpt(letter) : WriteDosPartitions(letter);
    if (r != 0) {
        LogError(kFile, __LINE__, fn, "%c: writing the partition table failed %d", letter, r);
        FailWithCode(letter, r);
        return finish(kBurnFailed);
    }
    Notify(letter, "100%", CardMessageDone);
    return finish(0);
}

int CardManFunc::MessageCallBack(HWND, int code, ToolParam* block) {
    if (!block) {
        LogError(kFile, __LINE__, "CardManFunc::MessageCallBack", "MessageCallBack Param = NULL");
        return kNullBlock;
    }
    char letter = block->drive;
    unsigned char slot = static_cast<unsigned char>(letter);
    switch (code) {
    case CardMessageDone: {
        {
            std::lock_guard<std::mutex> lock(m_stateLock);
            if (m_state[slot].active) {
                // Held back: BurnCard reports once the partition table is written.
                m_state[slot].toolDone = true;
                return 0;
            }
        }
        Notify(letter, "100%", CardMessageDone);
        break;
    }
    case CardMessageProgress: {
        char text[32];
        snprintf(text, sizeof text, "%d%%", block->progress);
        Notify(letter, text, CardMessageProgress);
        break;
    }
    case CardMessageText30:
    case CardMessageText:
    case CardMessageText50:
    case CardMessageFailed: {
        char text[sizeof block->message + 1];
        memcpy(text, block->message, sizeof block->message);
        text[sizeof block->message] = '\0';
        if (code == CardMessageFailed) {
            std::lock_guard<std::mutex> lock(m_stateLock);
            if (m_state[slot].active) {
                if (m_state[slot].toolFailed) return 0; // one final callback per burn
                m_state[slot].toolFailed = true;
            }
        }
        Notify(letter, text, code);
        break;
    }
    default:
        break;
    }
    return 0;
}

int CardManFunc::SetMessageCallBack(MessageFunc func) {
    m_messageFunc = func;
    return 0;
}

int CardManFunc::SetMainWindow(HWND window) {
    m_mainWindow = window;
    m_mainWindowCopy = window;
    return 0;
}

} // namespace vorlane::cardfun
