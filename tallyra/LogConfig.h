// Settings of one logger, read from "log.ini".
#pragma once

#include <cstdint>

namespace vorlane::tallyra {

constexpr int kLogTextSize = 1024; // text settings keep at most 1023 bytes

enum DebugMode : int32_t { DebugModeNone = 0, DebugModeMessageBox = 1, DebugModePrintStack = 2 };
enum LogMode : int32_t { LogModeAlong = 0, LogModeCombind = 1 };

struct LogConfig {
    char rootDirectory[kLogTextSize] = {};
    char prefix[kLogTextSize] = {};
    int32_t maxfilesize = 40000;
    int32_t maxdirsize = 20; // kept, drives nothing
    int32_t enc = 0;         // kept, drives nothing
    int32_t compress = 0;    // kept, drives nothing
    int32_t eps = 0;         // kept, drives nothing
    int32_t file = 1;
    int32_t remote = 0; // kept, drives nothing
    int32_t debugview = 1;
    int32_t debugmode = DebugModeNone;
    int32_t logmode = LogModeCombind;
    char remoteaddr[kLogTextSize] = {}; // kept, drives nothing
    char email[kLogTextSize] = {};      // kept, drives nothing
};

// Reads the settings of `section` (null: "default") from the INI file at
// `path`; a missing file or section leaves every default.
void ReadLogConfig(const char* path, const char* section, LogConfig* config);

} // namespace vorlane::tallyra
