// The card-writing plug-in's parameter block and its table of services.
//
// Layout: every field keeps its order and natural alignment; pointers and
// window handles take pointer-sized slots. A 32-bit build reproduces the
// classic 1100-byte block, the 64-bit build is 1120 bytes. `size` always
// carries sizeof(ToolParam) of this build.
#pragma once

#include "VorlaneTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct InterfaceEntry {
    char id[40];      // 36-character interface id, NUL-padded
    void* table;      // the service's function table; null = not available
    uint32_t reserved;
} InterfaceEntry;

typedef struct ToolParam {
    uint16_t version;        // 0x0100
    uint16_t size;           // sizeof(ToolParam)
    uint32_t magic;          // "card" = 0x64726163
    int32_t burnMode;        // 1 = without checksum, 2 = with checksum
    char workPath[260];      // <work directory>/<drive letter>
    char imagePath[260];     // full path of the image file
    uint32_t reserved0;
    InterfaceEntry* interfaces;
    uint32_t interfaceCount;
    char scriptPath[260];    // this card's copy of the image script
    void* scriptInfo;        // ScriptInfo of this run (set by the card tool)
    uint32_t scriptInfoSize; // sizeof(ScriptInfo) while scriptInfo is set
    char drive;              // drive letter, e.g. 'E'
    char reserved1[3];
    HWND notifyWindow;       // receives WM_CARD_NOTIFY
    uint8_t reserved2[8];
    char message[256];       // text of the current notification
    int32_t progress;        // accumulated percentage
    void* reserved;          // released by the card tool at the end of a run if set
    uint32_t Extension;      // size in MiB of an empty first partition; 0 = off
    uint32_t res;            // option flags (0x11 = empty first partition) / first partition
} ToolParam;

#define TOOLPARAM_VERSION 0x0100
#define TOOLPARAM_MAGIC 0x64726163u /* the letters "card" */
#define TOOLPARAM_RES_FIRST_PART_EMPTY 0x11u
#define TOOLPARAM_INTERFACE_COUNT 6

// Window message sent by the card-writing plug-in: wParam is a NotifyCode,
// lParam the address of the ToolParam block.
#define WM_USER 0x0400
#define WM_CARD_NOTIFY (WM_USER + 1000) /* 2024 */

typedef enum NotifyCode {
    NotifyDone = 10,
    NotifyProgress = 20,
    NotifyText30 = 30, // understood by the receiver as a text; never sent
    NotifyText = 40,
    NotifyMagicFailed = 50,
    NotifyBurnFailed = 60
} NotifyCode;

#ifdef __cplusplus
}

static_assert(WM_CARD_NOTIFY == 2024, "WM_CARD_NOTIFY");
static_assert(offsetof(InterfaceEntry, table) == 40, "InterfaceEntry.table");
static_assert(sizeof(void*) != 8 || sizeof(InterfaceEntry) == 56, "InterfaceEntry 64-bit");
static_assert(sizeof(void*) != 4 || sizeof(InterfaceEntry) == 48, "InterfaceEntry 32-bit");

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(offsetof(ToolParam, version) == 0, "ToolParam.version");
static_assert(offsetof(ToolParam, size) == 2, "ToolParam.size");
static_assert(offsetof(ToolParam, magic) == 4, "ToolParam.magic");
static_assert(offsetof(ToolParam, burnMode) == 8, "ToolParam.burnMode");
static_assert(offsetof(ToolParam, workPath) == 12, "ToolParam.workPath");
static_assert(offsetof(ToolParam, imagePath) == 272, "ToolParam.imagePath");
static_assert(offsetof(ToolParam, reserved0) == 532, "ToolParam.reserved0");
static_assert(offsetof(ToolParam, interfaces) == 536, "ToolParam.interfaces");
static_assert(offsetof(ToolParam, interfaceCount) == 544, "ToolParam.interfaceCount");
static_assert(offsetof(ToolParam, scriptPath) == 548, "ToolParam.scriptPath");
static_assert(offsetof(ToolParam, scriptInfo) == 808, "ToolParam.scriptInfo");
static_assert(offsetof(ToolParam, scriptInfoSize) == 816, "ToolParam.scriptInfoSize");
static_assert(offsetof(ToolParam, drive) == 820, "ToolParam.drive");
static_assert(offsetof(ToolParam, reserved1) == 821, "ToolParam.reserved1");
static_assert(offsetof(ToolParam, notifyWindow) == 824, "ToolParam.notifyWindow");
static_assert(offsetof(ToolParam, reserved2) == 832, "ToolParam.reserved2");
static_assert(offsetof(ToolParam, message) == 840, "ToolParam.message");
static_assert(offsetof(ToolParam, progress) == 1096, "ToolParam.progress");
static_assert(offsetof(ToolParam, reserved) == 1104, "ToolParam.reserved");
static_assert(offsetof(ToolParam, Extension) == 1112, "ToolParam.Extension");
static_assert(offsetof(ToolParam, res) == 1116, "ToolParam.res");
static_assert(sizeof(ToolParam) == 1120, "ToolParam 64-bit");
#else
static_assert(offsetof(ToolParam, interfaces) == 536, "ToolParam.interfaces");
static_assert(offsetof(ToolParam, scriptPath) == 544, "ToolParam.scriptPath");
static_assert(offsetof(ToolParam, drive) == 812, "ToolParam.drive");
static_assert(offsetof(ToolParam, message) == 828, "ToolParam.message");
static_assert(offsetof(ToolParam, res) == 1096, "ToolParam.res");
static_assert(sizeof(ToolParam) == 1100, "ToolParam 32-bit");
#endif
#endif
