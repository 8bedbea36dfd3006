// The main program's diagnostic log: Tallyra's table, loaded by file name from
// the module directory, under the logger name "VorlaneCard". Every call is a
// no-op while the library is missing.
#pragma once

#include "LibraryTables.h"

namespace vorlane::engine {

// Loads "Tallyra.so" once and registers the logger; later calls do nothing.
void LoadEngineLog();

// Level 1 records carry the tag "INFO", level 3 "E(<last error>)".
void EngineLog(int level, const char* file, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

} // namespace vorlane::engine

#define ENGINE_INFO(file, function, ...)                                                           \
    ::vorlane::engine::EngineLog(LOG_LEVEL_INFO, file, __LINE__, function, __VA_ARGS__)
#define ENGINE_ERROR(file, function, ...)                                                          \
    ::vorlane::engine::EngineLog(LOG_LEVEL_ERROR, file, __LINE__, function, __VA_ARGS__)
