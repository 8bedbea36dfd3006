// The parsed burn steps of one card, and the script-parser registry record.
#pragma once

#include "VorlaneTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

// One burn step (608 bytes, a file layout: exact offsets on every build).
typedef struct ScriptItem {
    char main[12];      // main type, at most 8 characters
    char sub[20];       // sub type, at most 16 characters
    int32_t start;      // first card sector
    int32_t sectors;    // from the script; 0 for generated items
    uint32_t length;    // bytes written (set by the burn)
    uint32_t FileCRC;   // CRC-32 of the item's data (burn mode 2)
    uint32_t DataCRC;   // equal to FileCRC for the image-file item
    int32_t type;       // 1 = image item, 0 = file item
    int32_t param[8];   // param0 ... param7
    char commen[260];   // English label
    char commchs[260];  // Chinese label
} ScriptItem;

// The parsed script (pointer-widened in-memory block).
typedef struct ScriptInfo {
    uint32_t version;  // [process] version; only 300 is accepted
    uint16_t mode;     // ScriptMode
    uint16_t reserved;
    uint32_t steps;    // number of records in items
    ScriptItem* items; // allocated with malloc, zero-filled; freed with free
} ScriptInfo;

typedef enum ScriptMode {
    ScriptModeNull = 0,
    ScriptModeProduct = 1,
    ScriptModeBromrun = 2,
    ScriptModeUpdate = 3,
    ScriptModeTest = 4,
    ScriptModeBurnkey = 5
} ScriptMode;

#define SCRIPT_VERSION 300

// A parser of the script-parser plug-in's registry.
typedef int (*ParserParseFn)(void* output, uint32_t outputSize, const char* path,
                             const void* serviceTable);
typedef const char* (*ParserInterfaceIdFn)(void);

typedef struct ParserEntry {
    char name[16]; // NUL-padded; a 16-character name has no terminator
    ParserParseFn parse;
    ParserInterfaceIdFn interfaceId;
} ParserEntry;

#define PARSER_REGISTRY_CAPACITY 16

#ifdef __cplusplus
}

static_assert(sizeof(ScriptItem) == 608, "ScriptItem");
static_assert(offsetof(ScriptItem, sub) == 12, "ScriptItem.sub");
static_assert(offsetof(ScriptItem, start) == 32, "ScriptItem.start");
static_assert(offsetof(ScriptItem, sectors) == 36, "ScriptItem.sectors");
static_assert(offsetof(ScriptItem, length) == 40, "ScriptItem.length");
static_assert(offsetof(ScriptItem, FileCRC) == 44, "ScriptItem.FileCRC");
static_assert(offsetof(ScriptItem, DataCRC) == 48, "ScriptItem.DataCRC");
static_assert(offsetof(ScriptItem, type) == 52, "ScriptItem.type");
static_assert(offsetof(ScriptItem, param) == 56, "ScriptItem.param");
static_assert(offsetof(ScriptItem, commen) == 88, "ScriptItem.commen");
static_assert(offsetof(ScriptItem, commchs) == 348, "ScriptItem.commchs");

static_assert(offsetof(ScriptInfo, mode) == 4, "ScriptInfo.mode");
static_assert(offsetof(ScriptInfo, steps) == 8, "ScriptInfo.steps");
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(offsetof(ScriptInfo, items) == 16, "ScriptInfo.items");
static_assert(sizeof(ScriptInfo) == 24, "ScriptInfo 64-bit");
static_assert(offsetof(ParserEntry, parse) == 16, "ParserEntry.parse");
static_assert(offsetof(ParserEntry, interfaceId) == 24, "ParserEntry.interfaceId");
static_assert(sizeof(ParserEntry) == 32, "ParserEntry 64-bit");
#else
static_assert(offsetof(ScriptInfo, items) == 12, "ScriptInfo.items");
static_assert(sizeof(ScriptInfo) == 16, "ScriptInfo 32-bit");
static_assert(sizeof(ParserEntry) == 24, "ParserEntry 32-bit");
#endif
#endif
