// The plain C exports every outside service stand-in offers for its one
// interface id and function table. Ids compare byte for byte.
#pragma once

#include "Export.h"

#include <cstring>

#define VORLANE_SERVICE_EXPORTS(NAME, IID, VERSION, TABLE)                                         \
    VORLANE_EXPORT const char* GetPlugInType(void) {                                               \
        return IID;                                                                                \
    }                                                                                              \
    VORLANE_EXPORT const char* GetPlugInName(void) {                                               \
        return NAME;                                                                               \
    }                                                                                              \
    VORLANE_EXPORT int GetPlugInVersion(void) {                                                    \
        return VERSION;                                                                            \
    }                                                                                              \
    VORLANE_EXPORT const char* GetAuthor(void) {                                                   \
        return "VorlaneCard developers";                                                           \
    }                                                                                              \
    VORLANE_EXPORT const char* GetCopyRight(void) {                                                \
        return "VorlaneCard developers";                                                           \
    }                                                                                              \
    VORLANE_EXPORT int QueryInterface(const char* id) {                                            \
        return id && std::strcmp(id, IID) == 0 ? 0 : 1;                                            \
    }                                                                                              \
    VORLANE_EXPORT void* GetInterface(const char* id) {                                            \
        return QueryInterface(id) == 0 ? const_cast<void*>(static_cast<const void*>(&(TABLE)))     \
                                       : nullptr;                                                  \
    }
