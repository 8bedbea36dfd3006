// The two parsers of the registry.
#pragma once

#include "ConfigInfo.h"
#include "ScriptInfo.h"
#include "ServiceTables.h"

namespace vorlane::ostrand {

// Codes of ParseScriptInfo (0 = the last key looked up existed):
//    91  null argument
//    96  script missing or unreadable
//    97  the configuration-parser service cannot open the script
//    98  fewer than two sections (no process and partition-table section)
//   123  "mbr.fex" or "dlinfo.fex" unusable
//   253  out of memory for the items
//   other non-zero: the service's code of the last key looked up
int ParseScriptInfo(ScriptInfo* info, const char* path, const ConfigParserTable* table);

// Codes of ParseConfigInfo:
//   69  null argument
//   74  file missing or unreadable
//   75  the configuration-parser service cannot open the file
//   other non-zero: the service's code for the first missing key
int ParseConfigInfo(const ConfigParserTable* table, ConfigInfo* info, const char* path);

} // namespace vorlane::ostrand
