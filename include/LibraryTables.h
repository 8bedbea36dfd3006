// Function tables of this system's own libraries, in slot order.
#pragma once

#include "ScriptInfo.h"
#include "ToolParam.h"
#include "VorlaneTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

// Card-writing plug-in (Sarnet), 720420d3-fbbe-44a3-83c3-08d35afa1cca.
typedef struct SarnetTable {
    int (*SarnetEntry)(ToolParam* param); // 0
    int (*CardCheckEntry)(void);          // 1
} SarnetTable;

// Card kinds passed to the card-functions library's BurnCard.
typedef enum BurnMode {
    BurnModeProduct = 0,
    BurnModeStartup = 1,
    BurnModeKey = 2,
    BurnModeRestore = 3
} BurnMode;

// Codes of the GUI's message function.
typedef enum CardMessageCode {
    CardMessageDone = 10,
    CardMessageProgress = 20,
    CardMessageText30 = 30,
    CardMessageText = 40,
    CardMessageText50 = 50,
    CardMessageFailed = 60
} CardMessageCode;

// The GUI's message function: drive letter, text (valid during the call), code.
typedef int (*MessageFunc)(char letter, const char* text, int code);

// Card-functions library (VorlaneCardFun), B6DAA905_5803_4442_AE61_896D1B2E5A81.
typedef struct VorlaneCardFunTable {
    int (*Initialize)(void);                                          // 0
    int (*Release)(void);                                             // 1
    int (*GetVersion)(void);                                          // 2: 100
    int (*SetImagePath)(const char* path);                            // 3
    int (*BurnCard)(char letter, int mode, int reserved);             // 4
    int (*MessageCallBack)(HWND window, int code, ToolParam* param);  // 5
    int (*SetMessageCallBack)(MessageFunc func);                      // 6
    int (*SetMainWindow)(HWND window);                                // 7
    HWND (*GetMainWindow)(void);                                      // 8
} VorlaneCardFunTable;

// Script-parser plug-in (Ostrand), c4c12549-6916-4c73-9cd0-61d97af44a95.
typedef struct OstrandTable {
    int (*Init)(int reserved);                                            // 0
    int (*Exit)(int reserved);                                            // 1
    int (*GetState)(void);                                                // 2
    int (*GetParserCapacity)(void);                                       // 3
    ParserEntry* (*FindParser)(const char* name);                         // 4
    int (*SetParser)(const char* name, ParserParseFn parse, ParserInterfaceIdFn id); // 5
    int (*AddParser)(const char* name, ParserParseFn parse, ParserInterfaceIdFn id); // 6
    int (*RemoveParser)(const char* name);                                // 7
    ParserEntry* (*GetParserAt)(int index);                               // 8
} OstrandTable;

// Logging library (Tallyra). A logger id is pointer-sized: callers pass the
// address of the variable that holds this table.
typedef struct TallyraTable {
    int (*LogInit)(uintptr_t id, const char* configPath, const char* section); // 0
    void* reserved1;
    void* reserved2;
    int (*LogPrint)(uintptr_t id, int level, const char* tag, const char* file, int line,
                    const char* function, const char* format, ...)
        __attribute__((format(printf, 7, 8)));                                  // 3
    int (*LogWrite)(uintptr_t id, const char* text, int length);                // 4
} TallyraTable;

typedef const TallyraTable* (*TallyraGetInterfaceFn)(int reserved);

#define LOG_LEVEL_INFO 1
#define LOG_LEVEL_ERROR 3
#define LOG_LEVEL_FATAL 5

#ifdef __cplusplus
}

static_assert(offsetof(SarnetTable, CardCheckEntry) == sizeof(void*), "SarnetTable");
static_assert(offsetof(VorlaneCardFunTable, GetMainWindow) == 8 * sizeof(void*), "VorlaneCardFunTable");
static_assert(offsetof(OstrandTable, GetParserAt) == 8 * sizeof(void*), "OstrandTable");
static_assert(offsetof(TallyraTable, LogPrint) == 3 * sizeof(void*), "TallyraTable");
static_assert(offsetof(TallyraTable, LogWrite) == 4 * sizeof(void*), "TallyraTable");
#endif
