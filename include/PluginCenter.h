// The plug-in centre: loads plug-ins by load record and hands out their
// function tables by interface id; and the exports every plug-in offers.
#pragma once

#include "VorlaneTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

// 324 bytes, zero-filled before use.
typedef struct PluginLoadRecord {
    char id[64];    // interface id text, NUL-terminated
    char path[260]; // plug-in file: full path, or a bare name looked up in the module directory
} PluginLoadRecord;

// Manager table returned by the export GetPluginMan() of "Hubrix.so".
typedef struct PluginManTable {
    int (*LoadPlugin)(const PluginLoadRecord* record);  // 0: non-zero when loaded
    void* (*GetPluginInterface)(const char* id);        // 1: table or null
    void* reserved2;
    void* reserved3;
    void* reserved4;
    void* reserved5;
    int (*UnloadPlugin)(const char* id);                // 6: 0 when unloaded
} PluginManTable;

typedef const PluginManTable* (*GetPluginManFn)(void);

// Exports of a plug-in (plain C functions, looked up by name).
typedef const char* (*GetPlugInTypeFn)(void);
typedef const char* (*GetPlugInNameFn)(void);
typedef int (*GetPlugInVersionFn)(void);
typedef const char* (*GetAuthorFn)(void);
typedef int (*QueryInterfaceFn)(const char* id);
typedef void* (*GetInterfaceFn)(const char* id);

#ifdef __cplusplus
}

static_assert(sizeof(PluginLoadRecord) == 324, "PluginLoadRecord");
static_assert(offsetof(PluginLoadRecord, path) == 64, "PluginLoadRecord.path");
static_assert(offsetof(PluginManTable, GetPluginInterface) == 1 * sizeof(void*), "slot 1");
static_assert(offsetof(PluginManTable, UnloadPlugin) == 6 * sizeof(void*), "slot 6");
#endif
