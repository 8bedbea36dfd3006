// Progress and message reporting: the message tables, the notifications to
// the caller's window, message boxes and diagnostic lines.
#include "SarnetInternal.h"

#include "VorlanePlatform.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vorlane::sarnet {
namespace {

using MessageTable = const char* const[MessageCount];

// Index k is the same message in every language; unused slots keep their place.
MessageTable kEnglish = {
    "Start Burning...",
    "Invalid Parameter",
    "Image File Invalid",
    "Script Invalid",
    "Burn End...",
    "Burn Failed %d",
    "File (%s) NOT Exist !",
    "Magic Complete",
    "Magic Failed %d",
    "Check Complete",
    "Check Failed",
    "Burn Sucess",
    "Burn Fail",
    "Error",
    "Fail",
    "Invalid Parameter!",
    "DATA_TYPE_l1 Not Support",
    "DATA_TYPE_l2 Not Support",
    "Not Support",
    "DATA_TYPE_RAW Not Support",
    "CardCheckEntry Trying to Complete",
    "IsValidImage Trying to Complete",
    "IsValidInterface Error %d",
    "Write DiskSector Failed %d",
    "Disk=%c %s %s length=%u start=%u",
    "%s %s FileCRC=%x",
    "ReadDisk Sector Failed %d",
    "%s %s DataCRC=%x",
    "Data Not Match %s %s %x %x",
    "Device Open Failed",
    "Is Burning...",
};

MessageTable kSimplified = {
    "开始烧写...",
    "参数无效",
    "image文件无效",
    "脚本无效",
    "烧写结束...",
    "烧写失败 %d",
    "文件 (%s) 不存在 !",
    "magic完成",
    "magic失败 %d",
    "检验完成",
    "检验失败",
    "烧写完成",
    "烧写失败",
    "错误",
    "失败",
    "无效参数！",
    "工具不支持DATA_TYPE_11",
    "工具不支持DATA_TYPE_12",
    "工具不支持的类型",
    "工具不支持DATA_TYPE_RAW",
    "CardCheckEntry 有待实现",
    "IsValidImage 有待完成",
    "无效接口 错误 %d",
    "写卡扇区 失败 %d",
    "卡=%c %s %s 长度=%u 开始=%u",
    "%s %s 文件CRC=%x",
    "读卡扇区 失败 %d",
    "%s %s 数据CRC=%x",
    "数据不匹配 %s %s %x %x",
    "设备打开失败",
    "正在烧写...",
};

MessageTable kTraditional = {
    "開始燒寫...",
    "參數無效",
    "image文件無效",
    "腳本無效",
    "燒寫結束...",
    "燒寫失敗 %d",
    "文件 (%s) 不存在 !",
    "magic完成",
    "magic失败 %d",
    "檢驗完成",
    "檢驗失敗",
    "燒寫完成",
    "燒寫失敗",
    "錯誤",
    "失敗",
    "無效參數！",
    "工具不支持DATA_TYPE_11",
    "工具不支持DATA_TYPE_12",
    "工具不支持的類型",
    "工具不支持DATA_TYPE_RAW",
    "CardCheckEntry 有待實現",
    "IsValidImage 有待完成",
    "無效接口 錯誤 %d",
    "寫卡扇區 失敗 %d",
    "卡=%c %s %s 長度=%u 開始=%u",
    "%s %s 文件CRC=%x",
    "讀卡扇區 失敗 %d",
    "%s %s 數據CRC=%x",
    "數據不匹配 %s %s %x %x",
    "設備打開失敗",
    "正在燒寫...",
};

// Written by every run with the same value; atomics keep concurrent runs well-defined.
std::atomic<const char* const*> g_table{kEnglish};
std::atomic<unsigned> g_codePage{0};

constexpr size_t kDiagBuffer = 1024;
constexpr size_t kMessageChars = 255; // `message` holds 255 bytes plus NUL

// Length of the longest prefix of `text` (of `length` bytes) that is at most
// `limit` bytes and does not end inside a UTF-8 sequence.
size_t Utf8Cut(const char* text, size_t length, size_t limit) {
    if (length <= limit) return length;
    // Step back over at most three continuation bytes to the lead byte of
    // the sequence that the cut would split (other bytes pass as they are).
    size_t cut = limit;
    for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++i)
        --cut;
    if ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) cut = limit; // not UTF-8
    return cut;
}

// vsnprintf into a string of any length.
std::vector<char> Format(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed < 0) needed = 0;
    std::vector<char> text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    return text;
}

// Copies `text` into `message`, cut to 255 bytes on a character boundary.
void StoreMessage(ToolParam* param, const char* text) {
    size_t length = Utf8Cut(text, std::strlen(text), kMessageChars);
    char buffer[sizeof param->message];
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    std::memcpy(param->message, buffer, length + 1);
}

void Notify(ToolParam* param, NotifyCode code) {
    if (!param) return;
    SendMessageA(param->notifyWindow, WM_CARD_NOTIFY, static_cast<WPARAM>(code),
                 reinterpret_cast<LPARAM>(param));
}

// Diagnostic text cut to the 1024-byte buffer, on a character boundary.
void DiagText(const char* text) {
    char buffer[kDiagBuffer];
    size_t length = Utf8Cut(text, std::strlen(text), kDiagBuffer - 1);
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    OutputDebugStringA(buffer);
}

} // namespace

void ChooseMessageTable(unsigned codePage) {
    const char* const* table = kEnglish;
    if (codePage == 950)
        table = kTraditional;
    else if (codePage == 936)
        table = kSimplified;
    g_codePage.store(codePage);
    g_table.store(table);
}

unsigned CurrentCodePage() {
    return g_codePage.load();
}

const char* Message(int id) {
    if (id < 0 || id >= MessageCount) return "";
    return g_table.load()[id];
}

void Diag(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vector<char> text = Format(format, args);
    va_end(args);
    DiagText(text.data());
}

void DiagError(const char* unit, int line, const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vector<char> body = Format(format, args);
    va_end(args);
    char inner[kDiagBuffer];
    size_t length = Utf8Cut(body.data(), body.size() - 1, kDiagBuffer - 1);
    std::memcpy(inner, body.data(), length);
    inner[length] = '\0';
    Diag("ERROR:%s[%d]\nFUNC:%s:%s\n", unit ? unit : "", line, function ? function : "", inner);
}

void SetMessage(ToolParam* param, const char* format, ...) {
    if (!param) return;
    va_list args;
    va_start(args, format);
    // Formatted apart first: the arguments may point into `message` itself.
    std::vector<char> text = Format(format, args);
    va_end(args);
    StoreMessage(param, text.data());
}

void SendText(ToolParam* param, const char* format, ...) {
    if (!param) return;
    va_list args;
    va_start(args, format);
    std::vector<char> text = Format(format, args);
    va_end(args);
    StoreMessage(param, text.data());
    Notify(param, NotifyText);
}

void SendProgress(ToolParam* param) {
    Notify(param, NotifyProgress);
}
void SendDone(ToolParam* param) {
    Notify(param, NotifyDone);
}
void SendMagicFailed(ToolParam* param) {
    Notify(param, NotifyMagicFailed);
}
void SendBurnFailed(ToolParam* param) {
    Notify(param, NotifyBurnFailed);
}

void ShowItemMessage(const ScriptItem* item, int id, ToolParam* param) {
    if (!param) return;
    const char* label = "";
    size_t labelLength = 0;
    if (item) {
        label = CurrentCodePage() == 936 ? item->commchs : item->commen;
        labelLength = strnlen(label, sizeof item->commen);
    }
    SendText(param, "[%.*s]%s", static_cast<int>(labelLength), label, Message(id));
}

void ShowBox(int textId, int captionId) {
    MessageBoxA(nullptr, Message(textId), Message(captionId), MB_OK);
}

void ShowBoxText(const char* text, const char* caption) {
    MessageBoxA(nullptr, text ? text : "", caption ? caption : "", MB_OK);
}

} // namespace vorlane::sarnet
