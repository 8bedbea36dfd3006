// Device identity and the names of an image's work items, from "config.cfg".
#pragma once

#include "VorlaneTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ItemName {
    char main[12]; // at most 8 characters, NUL-terminated
    char sub[20];  // at most 16 characters, NUL-terminated
} ItemName;

typedef struct ConfigInfo {
    uint16_t ver;
    uint16_t reserved;
    uint16_t pid;
    uint16_t vid;
    ItemName card;   // the card-writing plug-in "card.scj"
    ItemName script; // "script.cfg"
    ItemName mbr;    // "mbr.fex"
    ItemName gpt;    // "gpt.fex"
    ItemName dlinfo; // "dlinfo.fex"
} ConfigInfo;

#ifdef __cplusplus
}

static_assert(sizeof(ItemName) == 32, "ItemName");
static_assert(sizeof(ConfigInfo) == 168, "ConfigInfo");
static_assert(offsetof(ConfigInfo, pid) == 4, "ConfigInfo.pid");
static_assert(offsetof(ConfigInfo, vid) == 6, "ConfigInfo.vid");
static_assert(offsetof(ConfigInfo, card) == 8, "ConfigInfo.card");
static_assert(offsetof(ConfigInfo, script) == 40, "ConfigInfo.script");
static_assert(offsetof(ConfigInfo, mbr) == 72, "ConfigInfo.mbr");
static_assert(offsetof(ConfigInfo, gpt) == 104, "ConfigInfo.gpt");
static_assert(offsetof(ConfigInfo, dlinfo) == 136, "ConfigInfo.dlinfo");
#endif
