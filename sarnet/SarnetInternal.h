// Internal interfaces of the card-writing plug-in, shared by its units.
#pragma once

#include "LibraryTables.h"
#include "ScriptInfo.h"
#include "ServiceTables.h"
#include "ToolParam.h"

#include <cstdint>

#define SARNET_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

namespace vorlane::sarnet {

// ---- Messages (Messages.cpp) ---------------------------------------------
// Indices into the message table (31 slots, same index in every language).
enum MessageId {
    MsgStartBurning = 0,
    MsgInvalidParameter = 1,
    MsgImageFileInvalid = 2,
    MsgScriptInvalid = 3,
    MsgBurnEnd = 4,
    MsgBurnFailed = 5,
    MsgFileNotExist = 6,
    MsgMagicComplete = 7,
    MsgMagicFailed = 8,
    MsgCheckComplete = 9,
    MsgCheckFailed = 10,
    MsgBurnSucess = 11,
    MsgBurnFail = 12,
    MsgError = 13,
    MsgFail = 14,
    MsgInvalidParameterBox = 15,
    MsgDataTypeL1 = 16,
    MsgDataTypeL2 = 17,
    MsgNotSupport = 18,
    MsgDataTypeRaw = 19,
    MsgCardCheckEntry = 20,
    MsgIsValidImage = 21,
    MsgIsValidInterface = 22,
    MsgWriteDiskSectorFailed = 23,
    MsgDiskInfo = 24,
    MsgFileCrc = 25,
    MsgReadDiskSectorFailed = 26,
    MsgDataCrc = 27,
    MsgDataNotMatch = 28,
    MsgDeviceOpenFailed = 29,
    MsgIsBurning = 30,
    MessageCount = 31
};

// Chooses the table from the code page (950 Traditional, 936 Simplified,
// else English) and keeps both process-wide.
void ChooseMessageTable(unsigned codePage);
unsigned CurrentCodePage();
// Message `id` of the current table (English until a run chose one).
const char* Message(int id);

// Diagnostic line (1024-byte buffer, longer output cut) to the debugger output.
void Diag(const char* format, ...) SARNET_PRINTF(1, 2);
// "ERROR:%s[%d]\nFUNC:%s:%s\n" with unit, line, function and the formatted text.
void DiagError(const char* unit, int line, const char* function, const char* format, ...)
    SARNET_PRINTF(4, 5);

// Notifications to param->notifyWindow (WM_CARD_NOTIFY, synchronous).
// Formats `message` (at most 255 characters) and sends NotifyText.
void SendText(ToolParam* param, const char* format, ...) SARNET_PRINTF(2, 3);
void SendProgress(ToolParam* param);    // progress already increased
void SendDone(ToolParam* param);
void SendMagicFailed(ToolParam* param); // message already set
void SendBurnFailed(ToolParam* param);  // message already set
// "[" + label + "]" + message `id`; the label is commchs on code page 936, else commen.
void ShowItemMessage(const ScriptItem* item, int id, ToolParam* param);
// Modal box, no owner, OK button, text and caption from the current table.
void ShowBox(int textId, int captionId);

// ---- Parameter block (sarnet_inter.cpp) -------------------------------------
// The table of the entry whose id has the same first 36 bytes; null when the
// id is not exactly 36 characters, when none matches or its table is null.
void* FindInterface(const ToolParam* param, const char* id);

// Process-wide work-mode selection: -1 (as bromrun), 0 product, 1 bromrun,
// 2 burnkey; set by the items pass from the script mode.
int WorkModeSelection();
void SetWorkModeSelection(int selection);
int WorkModeFromScriptMode(int scriptMode);

// ---- Script (ScriptMan.cpp) ----------------------------------------------------
class ScriptMan {
public:
    // Fills param->scriptInfo from `scriptPath`; see ScriptMan.cpp for codes.
    int ParseScriptInfo(ToolParam* param, const char* scriptPath);
};

// ---- Sparse expansion (BurnSparse.cpp) ------------------------------------------
int BurnSparse(void* device, void* image, void* item, const Decoder64Table* decoder,
               uint32_t firstSector, const CardDeviceTable* card);

// ---- Items, boot loaders, magic block, table update --------------------------------
int BurnItems(ToolParam* param);        // BurnItems.cpp
int WriteMagic(ToolParam* param);       // BootItem.cpp
int UpdateMbrFexFile(ToolParam* param); // MbrUpdate.cpp

// ---- Item writers and boot loaders (BurnItems.cpp, BootItem.cpp) -------------------
// Additive checksum stamp of the boot headers.
constexpr uint32_t kHeaderSumStamp = 0x5F0A6C39u;
// Boot items and the boot0 copy are held whole in memory, at most this long.
constexpr uint32_t kMaxBootItemBytes = 64u * 1024u * 1024u;
// True for the sub types of the boot items that are patched in memory.
bool IsBootItem(const char* sub);
// HeaderSum of a header block of `available` bytes: 0, or non-zero when the
// block is too short for its fields (nothing is changed then).
int HeaderSum(uint8_t* block, uint32_t available, uint32_t lengthOffset, uint32_t sumOffset);
// Patches a boot item held in `buffer` (`length` bytes) for the work-mode
// selection; for TOC0 items in product selection with burn mode 2 it also
// writes the boot0 copy at sector 256 and replaces *itemHandle by the boot0
// item's handle (null when that could not be opened). Codes in BootItem.cpp.
int PatchBootItem(uint8_t* buffer, uint32_t length, const char* sub, int burnMode, void* device,
                  const CardDeviceTable* card, void* image, void** itemHandle,
                  const Decoder64Table* decoder);
// True for PatchBootItem's own bad-input codes (returned by the writers as they are).
bool IsBootInputError(int code);
int WriteMagicBlock(ToolParam* param, const void* buffer, uint32_t length, uint32_t firstSector);
// Writes a buffer held whole in memory from `firstSector`: 64 KiB transfers,
// then the rest in one call (sector count rounded down, the exact byte count).
// 0, or the card's error code (logged).
int WriteWholeBuffer(const CardDeviceTable* card, void* device, uint32_t firstSector,
                     const uint8_t* buffer, uint32_t length);
// One item: data-type rule, then the writer for the burn mode.
int BurnItem(ScriptItem* item, const Decoder64Table* decoder, ToolParam* param, void* image);

// ---- Messages, parameter block and sparse stream: additions (sarnet1) ---------------
// Sets `message` (formatted, at most 255 bytes, never ending inside a UTF-8
// character) without sending a notification.
void SetMessage(ToolParam* param, const char* format, ...) SARNET_PRINTF(2, 3);
// Modal box, no owner, OK button, with a text and caption of the caller's.
void ShowBoxText(const char* text, const char* caption);

// Sparse expansion with stream buffers of `bufferSize` bytes each (at least
// 1024; BurnSparse uses kSparseStreamBuffer). Codes in BurnSparse.cpp.
constexpr uint32_t kSparseStreamBuffer = 104857600u; // 100 MiB
int BurnSparseBuffered(void* device, void* image, void* item, const Decoder64Table* decoder,
                       uint32_t firstSector, const CardDeviceTable* card, uint32_t bufferSize);

} // namespace vorlane::sarnet
