// The operating system's part: a small library linked by every component so
// that its process-wide state (debugger output, message-box handler, window
// registry, named mutexes, drive map) exists exactly once.
#pragma once

#include "VorlaneTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VP_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// ---- Debugger output -------------------------------------------------------
// Written to standard error when VORLANE_DEBUG=1; a capture hook sees every line.
void OutputDebugStringA(const char* text);
typedef void (*VpDebugHook)(const char* text, void* context);
void VpSetDebugHook(VpDebugHook hook, void* context);
// Formats into a buffer of `bufferSize` bytes (longer output is cut) and
// sends it to the debugger output.
void VpDebugPrintf(size_t bufferSize, const char* format, ...) VP_PRINTF(2, 3);

// ---- Code page ---------------------------------------------------------------
// VORLANE_CODEPAGE when set; else from LC_ALL, LC_MESSAGES, LANG:
// zh_CN/zh_SG -> 936, zh_TW/zh_HK/zh_MO -> 950, anything else -> 1252.
unsigned GetACP(void);

// ---- Message boxes -------------------------------------------------------------
#define MB_OK 0x0u
#define MB_OKCANCEL 0x1u
#define MB_ICONEXCLAMATION 0x30u
#define IDOK 1
#define IDCANCEL 2
// A handler shows the box and returns the button pressed. Without a handler
// the box is written to standard error as "caption: text" and answered IDOK.
typedef int (*VpMessageBoxHandler)(HWND owner, const char* text, const char* caption,
                                   unsigned type, void* context);
void VpSetMessageBoxHandler(VpMessageBoxHandler handler, void* context);
int MessageBoxA(HWND owner, const char* text, const char* caption, unsigned type);

// ---- Windows and messages --------------------------------------------------------
typedef LRESULT (*VpWindowProc)(HWND window, unsigned message, WPARAM wParam, LPARAM lParam,
                                void* context);
// A marshaller runs `call(argument)` on the window's own thread; with
// `wait` set it returns only after the call has run. Without a marshaller
// SendMessageA runs the procedure on the caller under the window's lock and
// PostMessageA delivers through a queue served by one thread per window.
typedef void (*VpMarshaller)(void (*call)(void*), void* argument, int wait, void* context);
HWND VpCreateWindow(VpWindowProc procedure, void* context);
void VpSetWindowMarshaller(HWND window, VpMarshaller marshaller, void* context);
// Destroys the window: later messages to it are dropped; waits for posted
// messages that are being delivered.
void VpDestroyWindow(HWND window);
LRESULT SendMessageA(HWND window, unsigned message, WPARAM wParam, LPARAM lParam);
int PostMessageA(HWND window, unsigned message, WPARAM wParam, LPARAM lParam);
// Dispatches window messages waiting on the calling thread (nothing waits on
// worker threads here, so this returns at once; kept for the call sites).
void VpDispatchThreadMessages(void);

// ---- Named mutexes, handles, last error --------------------------------------------
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define ERROR_ALREADY_EXISTS 183u
// Recursive and process-wide by name. The name "BurnCard" also takes an
// exclusive flock on $XDG_RUNTIME_DIR/VorlaneCard.lock (fallback /tmp), so
// that a second process sees ERROR_ALREADY_EXISTS.
void* CreateMutexA(void* attributes, int initialOwner, const char* name);
unsigned WaitForSingleObject(void* handle, unsigned milliseconds);
int ReleaseMutex(void* handle);
int CloseHandle(void* handle);
// Last error is errno (ERROR_ALREADY_EXISTS after CreateMutexA of an existing name).
unsigned GetLastError(void);
void SetLastError(unsigned error);

void Sleep(unsigned milliseconds);
uint32_t GetTickCount(void);

// ---- Directories -------------------------------------------------------------------
// Module directory: $VORLANE_MODULE_DIR, else the directory of /proc/self/exe.
// Written without a trailing slash. Returns 0, or non-zero when it does not fit.
int VpModuleDir(char* buffer, size_t size);
// Work directory: $VORLANE_HOME, else the module directory when writable,
// else $XDG_DATA_HOME/vorlanecard (default ~/.local/share/vorlanecard);
// created on demand. The shipped "config.cfg" and "log.ini" are copied from
// the module directory when missing there.
int VpWorkDir(char* buffer, size_t size);
// Joins `dir` + "/" + `name` into `buffer`; non-zero when it does not fit.
int VpJoinPath(char* buffer, size_t size, const char* dir, const char* name);
// Work directory + "/" + name.
int VpWorkPath(char* buffer, size_t size, const char* name);
// Module directory + "/" + name.
int VpModulePath(char* buffer, size_t size, const char* name);
// chdir to the work directory (main programs do this at start).
int VpEnterWorkDir(void);

// ---- Profile files -------------------------------------------------------------
// Private profile files (INI form): section and key names compare without
// regard to ASCII case, values are trimmed. Reading copies at most size - 1
// bytes and returns the length copied (the default when missing).
uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* defaultValue,
                                  char* buffer, uint32_t size, const char* path);
// The value's leading decimal number (optional sign); `defaultValue` when
// the key is missing, 0 when the value does not start with a number.
int GetPrivateProfileIntA(const char* section, const char* key, int defaultValue, const char* path);
// Changes only the key's line (adding the section or the key when missing),
// keeps every other line; non-zero on success.
int WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                               const char* path);

// ---- Drive map -------------------------------------------------------------------
typedef enum VpCardKind { VpCardNone = 0, VpCardBlock = 1, VpCardVirtual = 2 } VpCardKind;

typedef struct VpCardInfo {
    char letter;          // 'D' ... 'Z'
    int kind;             // VpCardKind
    char path[VORLANE_MAX_PATH];  // /dev/sdX or $VORLANE_CARDS_DIR/E.card
    char model[64];       // for display
    uint64_t sizeBytes;   // capacity in bytes
    unsigned major, minor; // block device number (virtual cards: 0)
    int removable;        // offered as removable
} VpCardInfo;

// Rescans block devices and virtual cards; returns the number of cards.
int VpDriveRefresh(void);
// Copies up to `max` cards, in letter order; returns the number copied.
int VpDriveList(VpCardInfo* cards, int max);
// 0 and the card for `letter`; non-zero when no card has that letter.
int VpDriveLookup(char letter, VpCardInfo* card);
// Maps `letter` to an explicit target (a regular file or a block device);
// letter 0 picks the first free one. Returns the letter, or 0 on failure.
char VpDriveAssign(char letter, const char* path);
// Removes an explicit mapping made by VpDriveAssign.
void VpDriveUnassign(char letter);

// Last block address (READ CAPACITY(10) through SG_IO, else size / 512 - 1).
// Returns 0, or an errno value.
int VpCardReadCapacity(char letter, uint32_t* lastBlock);

// ---- Card targets ----------------------------------------------------------------
typedef struct VpCard VpCard;
// Opens the card of `letter`. For writing, a block device's mounted
// partitions are unmounted first and it is opened O_RDWR|O_EXCL|O_CLOEXEC.
// Returns null and sets errno on failure; `error` (optional, size bytes)
// receives a message naming the device and the reason.
VpCard* VpCardOpen(char letter, int writable, char* error, size_t errorSize);
// 0 or an errno value; never success for a short transfer.
int VpCardWrite(VpCard* card, uint64_t offset, const void* data, size_t length);
int VpCardRead(VpCard* card, uint64_t offset, void* data, size_t length);
uint64_t VpCardSize(const VpCard* card);
char VpCardLetter(const VpCard* card);
const char* VpCardPath(const VpCard* card);
// fdatasync (and BLKFLSBUF for a block device).
int VpCardFlush(VpCard* card);
// Flushes, closes and frees; returns 0 or the flush error.
int VpCardClose(VpCard* card);
// Asks the kernel to re-read a block device's partition table (BLKRRPART).
int VpCardRereadPartitions(char letter);

#ifdef __cplusplus
}
#endif
