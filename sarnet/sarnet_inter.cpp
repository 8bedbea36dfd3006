// The card-writing plug-in's exports, its two-slot table and the burn entry.
//
// Codes of this unit:
//   335  parameter block is null
//   343  size, version or magic of the block wrong, or one of its path
//        fields is not NUL-terminated
//   353  imagePath empty or not readable
//   436  a required service interface is missing (null table, or a null
//        slot that the plug-in calls)
//   503  ParseScript without a block
//   511  the ScriptInfo record could not be allocated
// Codes of the later steps come from the table update, the items pass and
// the magic pass.
#include "SarnetInternal.h"

#include "Export.h"
#include "Interfaces.h"
#include "VorlanePlatform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorlane::sarnet {
namespace {

constexpr const char* kUnit = "sarnet_inter";
constexpr int kQueryInterfaceMismatch = 54;

// Services that a burn needs, in the order they are checked (the sum
// service at position 5 is neither looked up nor used).
const char* const kRequiredInterfaces[] = {
    VORLANE_IID_CHECKSUM, VORLANE_IID_DECODER64,     VORLANE_IID_CARD_DEVICE,
    VORLANE_IID_OSTRAND,  VORLANE_IID_CONFIG_PARSER,
};

bool Terminated(const char* field, size_t size) {
    return memchr(field, '\0', size) != nullptr;
}

// The slots that the plug-in calls must be present, or the table counts as absent.
bool TableUsable(int position, const void* table) {
    if (!table) return false;
    switch (position) {
    case 0: {
        auto* t = static_cast<const ChecksumTable*>(table);
        return t->CrcBegin && t->CrcUpdate && t->CrcFinish && t->CrcRelease;
    }
    case 1: {
        auto* t = static_cast<const Decoder64Table*>(table);
        return t->OpenImage && t->OpenItem && t->GetItemSize && t->ReadItem && t->CloseItem &&
               t->CloseImage;
    }
    case 2: {
        auto* t = static_cast<const CardDeviceTable*>(table);
        return t->OpenDevice && t->WriteSectors && t->CloseDevice;
    }
    default:
        return true; // present but not called
    }
}

int IsValidInterface(ToolParam* p) {
    for (int i = 0; i < 5; ++i) {
        if (!TableUsable(i, FindInterface(p, kRequiredInterfaces[i]))) {
            Diag(Message(MsgIsValidInterface), i);
            DiagError(kUnit, __LINE__, "IsValidInterface", "interface %s missing\n",
                      kRequiredInterfaces[i]);
            return 436;
        }
    }
    return 0;
}

int IsValidParam(ToolParam* p) {
    if (p->size != sizeof(ToolParam) || p->version != TOOLPARAM_VERSION ||
        p->magic != TOOLPARAM_MAGIC || !Terminated(p->workPath, sizeof p->workPath) ||
        !Terminated(p->scriptPath, sizeof p->scriptPath)) {
        DiagError(kUnit, __LINE__, "IsValidParam", "size=%u version=0x%x magic=0x%x\n", p->size,
                  p->version, p->magic);
        ShowBox(MsgInvalidParameterBox, MsgError);
        return 343;
    }
    bool readable = false;
    if (p->imagePath[0] != '\0' && Terminated(p->imagePath, sizeof p->imagePath)) {
        if (FILE* f = std::fopen(p->imagePath, "rb")) {
            readable = true;
            std::fclose(f);
        }
    }
    if (!readable) {
        char text[VORLANE_MAX_PATH + 64];
        char path[sizeof p->imagePath];
        std::memcpy(path, p->imagePath, sizeof path);
        path[sizeof path - 1] = '\0';
        std::snprintf(text, sizeof text, Message(MsgFileNotExist), path);
        ShowBoxText(text, Message(MsgError));
        return 353;
    }
    int rc = IsValidInterface(p);
    if (rc != 0) {
        ShowBox(MsgInvalidParameterBox, MsgError);
        return rc;
    }
    return 0;
}

int IsValidImage(ToolParam* /*p*/) {
    Diag("%s", Message(MsgIsValidImage));
    return 0;
}

int ParseScript(ToolParam* p) {
    if (!p) return 503;
    p->scriptInfoSize = sizeof(ScriptInfo);
    auto* info = static_cast<ScriptInfo*>(std::calloc(1, sizeof(ScriptInfo)));
    p->scriptInfo = info;
    Diag("ParseScript: Param(0x%lx),script Info(0x%lx)\n",
         static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)),
         static_cast<unsigned long>(reinterpret_cast<uintptr_t>(info)));
    if (!info) {
        p->scriptInfoSize = 0;
        return 511;
    }
    // The outcome is not examined: the parser shows its own boxes and the
    // run goes on with the record as far as it was filled.
    ScriptMan man;
    man.ParseScriptInfo(p, p->scriptPath);
    return 0;
}

void Release(ToolParam* p) {
    if (auto* info = static_cast<ScriptInfo*>(p->scriptInfo)) {
        std::free(info->items);
        std::free(info);
    }
    p->scriptInfo = nullptr;
    p->scriptInfoSize = 0;
    if (p->reserved) {
        std::free(p->reserved);
        p->reserved = nullptr;
    }
}

// Failure end: the step's text (steps of the entry only), then "Burn Failed".
int FailureEnd(ToolParam* p, int code, const char* stepText) {
    if (stepText) SendText(p, "%s", stepText);
    SetMessage(p, Message(MsgBurnFailed), code);
    Release(p);
    SendBurnFailed(p);
    return code;
}

int CardCheckEntryImpl() {
    Diag("%s", Message(MsgCardCheckEntry));
    return 0;
}

} // namespace

int SarnetEntryImpl(ToolParam* p) {
    if (!p) {
        ShowBox(MsgInvalidParameterBox, MsgError);
        return 335;
    }
    Diag("enter sarnet.\n");
    ChooseMessageTable(GetACP());
    Diag("after GetACP().\n");
    SendText(p, "%s", Message(MsgStartBurning));

    int rc = IsValidParam(p);
    if (rc != 0) return FailureEnd(p, rc, Message(MsgInvalidParameter));
    Diag("IsValidParam() ture.\n");
    rc = IsValidImage(p);
    if (rc != 0) return FailureEnd(p, rc, Message(MsgImageFileInvalid));
    Diag("IsValidImage() ture.\n");
    Diag("Param->Extension=%d, Param->res=%d\n", static_cast<int>(p->Extension),
         static_cast<int>(p->res));

    const char* kMbrFailed = "Create mbr_new.fex Failed!\n";
    if ((p->res & TOOLPARAM_RES_FIRST_PART_EMPTY) == TOOLPARAM_RES_FIRST_PART_EMPTY &&
        p->Extension > 0) {
        rc = UpdateMbrFexFile(p);
        if (rc != 0) return FailureEnd(p, rc, kMbrFailed);
    }

    rc = ParseScript(p);
    if (rc != 0) return FailureEnd(p, rc, Message(MsgScriptInvalid));

    auto* info = static_cast<ScriptInfo*>(p->scriptInfo);
    if (info && info->mode == ScriptModeProduct) {
        Diag("the image data behind partition %d\n", static_cast<int>(p->res));
        rc = UpdateMbrFexFile(p);
        if (rc != 0) return FailureEnd(p, rc, kMbrFailed);
    }

    rc = BurnItems(p);
    if (rc != 0) return FailureEnd(p, rc, nullptr);
    rc = WriteMagic(p);
    if (rc != 0) return FailureEnd(p, rc, nullptr);

    Release(p);
    SendText(p, "%s", Message(MsgBurnEnd));
    Sleep(200);
    SendDone(p);
    return 0;
}

} // namespace vorlane::sarnet

using namespace vorlane::sarnet;

namespace {
int SarnetEntryExport(ToolParam* p) {
    return SarnetEntryImpl(p);
}
int CardCheckEntryExport() {
    return CardCheckEntryImpl();
}

// Refilled by every successful GetInterface call.
SarnetTable g_sarnetTable;
} // namespace

VORLANE_EXPORT const char* GetPlugInType(void) {
    return VORLANE_IID_SARNET;
}
VORLANE_EXPORT const char* GetPlugInName(void) {
    return "sarnet";
}
VORLANE_EXPORT int GetPlugInVersion(void) {
    return 0x100;
}
VORLANE_EXPORT const char* GetAuthor(void) {
    return "tobrenk";
}
// One function under two export names.
VORLANE_EXPORT const char* GetCopyRight(void) __attribute__((alias("GetAuthor")));

VORLANE_EXPORT int QueryInterface(const char* id) {
    return id && std::strcmp(id, VORLANE_IID_SARNET) == 0 ? 0 : kQueryInterfaceMismatch;
}

VORLANE_EXPORT void* GetInterface(const char* id) {
    if (!id || std::strcmp(id, VORLANE_IID_SARNET) != 0) return nullptr;
    g_sarnetTable.SarnetEntry = SarnetEntryExport;
    g_sarnetTable.CardCheckEntry = CardCheckEntryExport;
    return &g_sarnetTable;
}
