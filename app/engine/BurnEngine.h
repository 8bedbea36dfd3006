// The burn engine: the Qt-free core behind both front ends (the dialog and the
// `vorlane` command line). It loads the card-functions library and the
// language plug-in through the plug-in centre, keeps the drive list and the
// drive records, runs the preparation and burn threads, turns the library's
// callbacks into row states, progress and message lines, and runs the loop
// test. A front end implements BurnObserver and drives BurnEngine.
//
// Threads: observer calls arrive on any thread (burn threads, the engine
// window's thread, refresh threads); a GUI marshals them to its own thread.
// The engine window can be marshalled with VpSetWindowMarshaller(Window(), ...).
#pragma once

#include "LibraryTables.h"
#include "PluginCenter.h"
#include "ServiceTables.h"
#include "VorlanePlatform.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorlane::engine {

// Fills the first "%<conversion>" of a language text with `value` ("%%"
// becomes "%"); an upper-case conversion letter counts too. Language files
// are data: their texts are never used as printf formats.
std::string FillText(const std::string& text, char conversion, const std::string& value);

// Private window messages of the engine window.
constexpr unsigned WM_BURN_CARD = 0x590;     // start a burn preparation
constexpr unsigned WM_RESTORE_CARD = 0x591;  // start a restore preparation
constexpr unsigned WM_REFRESH_DRIVE = 0x592; // start a drive scan

enum class DriveState : int32_t { Idle = 0, Running = 1, Failed = 2, Done = 4 };

// Row colours, 0x00BBGGRR.
constexpr uint32_t kColourWhite = 0xFFFFFF;
constexpr uint32_t kColourRunning = 0x2F97FF;
constexpr uint32_t kColourDone = 0x00FF00;
constexpr uint32_t kColourFailed = 0x0000FF;

// Card kind selected for Burn (the radio group); Restore has its own command.
enum class CardKind : int { Product = 0, Startup = 1, Key = 2, None = -1 };

// One row of the drive list as the scan produced it.
struct DriveRow {
    char letter = 0;
    int capacityMB = 0;  // last block address >> 11
    bool checked = true; // the row's check box
    std::string device;  // "/dev/sdb" or the virtual card file
    std::string model;   // for display
    bool blockDevice = false;
};

// One drive record per row of the drive list, in row order.
struct DriveRecord {
    int row = 0;
    char letter = 0;
    DriveState state = DriveState::Idle;
    int checked = 1;
    uint32_t colour = kColourWhite;
    int capacityMB = 0;
    // Display and reporting (not part of the classic record).
    std::string device;
    std::string model;
    bool blockDevice = false;
    int progress = 0;         // last percentage shown in the row
    std::string lastMessage;  // last message line text of this drive (without "E: ")
    std::string failReason;   // text of the failure (code 60), empty otherwise
    std::string prepareError; // why the exFAT preparation of the last run failed, if it did
    uint32_t startTick = 0;   // GetTickCount when the drive's thread was started
    uint32_t endTick = 0;     // GetTickCount when it reported done or failed
};

// What a front end shows. Every method has an empty default. Calls come from
// any thread, some while the engine holds its list lock: an implementation
// must not block waiting for another thread (queue the update to the GUI
// thread instead) and must not call back into the engine synchronously.
class BurnObserver {
  public:
    virtual ~BurnObserver() = default;
    // The drive list was rebuilt (scan) or its records resynchronised.
    virtual void DriveListChanged(const std::vector<DriveRecord>& records) { (void)records; }
    // State, colour, check mark or progress of one row changed.
    virtual void RowChanged(const DriveRecord& record) { (void)record; }
    // Progress of one drive (percentage from the library's code-20 text).
    virtual void Progress(char letter, int percent) { (void)letter, (void)percent; }
    // Every callback of the library as it arrives (drive, text, code), before
    // the engine acts on it; the text is valid only during the call.
    virtual void CardEvent(char letter, const char* text, int code) {
        (void)letter, (void)text, (void)code;
    }
    // AddMessage: one new line of the message list.
    virtual void AddMessage(const std::string& line) { (void)line; }
    // The message list was cleared (start of a preparation).
    virtual void MessagesCleared() {}
    // EnableCommandControls: image, Burn, rescan, the kind radios, Restore,
    // Clear, Version update, together. The image and rescan buttons are
    // re-enabled separately through ControlEnabled.
    virtual void CommandsEnabled(bool enable) { (void)enable; }
    // EnableControlsById for one control (dialog ids: 1000 image, 1004 drive
    // list, 1005 Burn, 1012 Stop (shown/hidden), 1019 rescan).
    virtual void ControlEnabled(int id, bool enable) { (void)id, (void)enable; }
    // The loop-test status line (control 1016).
    virtual void StatusLine(const std::string& text) { (void)text; }
    // The loop test switched the card kind for its next cycle.
    virtual void KindChanged(CardKind kind) { (void)kind; }
    // A run ended (no checked drive idle or running); success = the drive
    // that finished last reported done. Also sent (with false) when a command
    // could start nothing (no card kind, no checked drive). A card's burn
    // thread may still be finishing its partition tables at this point:
    // WaitIdle waits for that too.
    virtual void RunEnded(bool success) { (void)success; }
    // A scan finished; `letters` are the drives found (empty: none found).
    virtual void ScanFinished(const std::string& letters) { (void)letters; }
};

// Start-up codes of Initalize.
enum InitCode : int {
    kInitAlreadyRunning = 1050,    // another instance holds "BurnCard" (message box shown)
    kInitNoPluginCenter = 1105,    // "Hubrix.so" missing or without GetPluginMan
    kInitCardFunNotLoaded = 1113,  // "VorlaneCardFun.so" not loaded
    kInitLanguageNotLoaded = 1121, // "Vocabraex.so" not loaded
    kInitLanguageFile = 1134,      // language table missing or "VorlaneCard.lan" not loaded
    kInitCardFunMissing = 1141,    // card-functions table missing
    kInitCardFunFailed = 1148,     // the library's Initialize failed
    kInitConfigParser = 1225,      // "config.cfg" cannot be read or written
};

// Results of the commands (0: started).
enum CommandCode : int {
    kCmdNoImage = 24,             // no image selected (text 24 shown)
    kCmdFirstPartTooLarge = 33,   // first partition too large for a drive (text 33 shown)
    kCmdBusy = 1301,              // a run or a preparation is in progress
    kCmdNoDrive = 1302,           // no checked drive
    kCmdNotInitialized = 1303,    // Initalize has not succeeded
    kCmdNoKind = 23,              // no usable card kind (text 23 shown)
    kCallbackUnknownDrive = 1882, // MessageCallBackFunc: no checked record with that letter
};

// Loop-test state, copied out for front ends.
struct LoopState {
    bool active = false;
    int total = 0;
    int left = 0;
    int success = 0;
    int nextKind = -1; // -1: startup next, 0: product next, 1: restore next
};

class BurnEngine {
  public:
    explicit BurnEngine(BurnObserver* observer);
    ~BurnEngine(); // waits for every thread the engine started
    BurnEngine(const BurnEngine&) = delete;
    BurnEngine& operator=(const BurnEngine&) = delete;

    // Loads logging, the plug-in centre, the card-functions library and the
    // language plug-in, initialises the library, registers the window and the
    // message function, restores the last image from "config.cfg" and posts
    // the first scan (unless `postFirstScan` is false). 0 or a start-up code.
    int Initalize(bool postFirstScan = true);
    bool Initialized() const { return m_lib != nullptr; }

    // The language text of `id` (the plug-in's, else a built-in English text).
    std::string GetText(int id) const;

    // The engine window: WM_CARD_NOTIFY goes to the library's MessageCallBack,
    // WM_BURN_CARD / WM_RESTORE_CARD / WM_REFRESH_DRIVE start their threads.
    HWND Window() const { return m_window; }

    // Image selection: 0 when the library accepted the image.
    int SetImagePath(const std::string& path);
    std::string ImagePath() const;

    // Card kind for Burn (the radio group).
    void SetKind(CardKind kind);
    CardKind Kind() const;

    // Drive scan (on the calling thread); returns 0. Skipped while a scan,
    // preparation or run is in progress.
    int RefreshDrive();
    // Posts WM_REFRESH_DRIVE (a RefreshThread scans and reports ScanFinished).
    void RequestRefresh();
    // Rebuilds the records from the rows; keepOldCheck = 0 takes the old
    // records' check marks, 1 takes the rows' check boxes.
    void SyncDriveRecords(int keepOldCheck);
    std::vector<DriveRecord> Drives() const;
    std::vector<DriveRow> Rows() const;
    // The check-box click on a row: toggles it, SyncDriveRecords(1), then the
    // enabling rule. SetChecked sets a letter's row to a value the same way.
    void ToggleCheck(int row);
    bool SetChecked(char letter, bool checked);
    // Get drive letters: all rows white, then a rescan is posted.
    void ResetColoursAndRescan();

    // Burn (OnBnClickedBtnBurn) and Restore: 0 when the preparation thread was
    // started, else a CommandCode (the message box has been shown).
    int Burn();
    int Restore();
    // Stop: no further loop cycle; the current cycle finishes normally.
    void StopLoop();
    // Pause between loop cycles (5000 ms by default).
    void SetLoopPause(unsigned milliseconds) { m_loopPauseMs = milliseconds; }
    LoopState Loop() const;

    // The first-partition option: "activeFirstPartSize" of "option.cfg"
    // (1 = active; -1 when the file cannot be read; 0 when missing).
    int IsControlActive() const;
    // 0 when FirstPartSize + 1024 < capacityMB for every record, else the
    // letter of the first drive that is too small.
    char CheckFirstPartSize() const;

    // The library's message function lands here (any thread).
    int MessageCallBackFunc(char letter, const char* text, int code);

    // True while a preparation, a run or a pending loop cycle is in progress.
    bool Busy() const;
    // Waits until no preparation, run or loop cycle is pending and every burn
    // thread has returned; false on time-out (0 = wait without limit).
    bool WaitIdle(unsigned timeoutMs = 0);
    // The close rule: true when every burn thread has ended.
    bool CanClose();
    // Releases the card-functions library (its slot 1) once no run is in
    // progress, before the process ends: its work files are removed and the
    // card tool is unloaded while the plug-in centre is still alive. 0 or
    // the library's code; kCmdBusy while a run is in progress.
    int ReleaseLibrary();

  private:
    friend struct EngineAccess;
    static LRESULT WindowProc(HWND window, unsigned message, WPARAM wParam, LPARAM lParam,
                              void* self);
    static int MessageFunc(char letter, const char* text, int code);

    void RefreshThread();
    void PrepareThread(bool restore);
    void StartBurnThreads(bool restore);
    void BurnCardThread(char letter, int mode);
    void EnableCommandControls(bool enable);
    void EnableAfterScan();
    void PaintRow(const DriveRecord& record);
    void AddMessage(const std::string& line);
    void StartWorker(std::function<void()> body);
    void JoinBurnThreads();
    void ReadLoopFile();
    int CheckedCount() const;
    void Log(int level, int line, const char* function, const char* format, ...) const
        __attribute__((format(printf, 5, 6)));

    BurnObserver* m_observer;
    HWND m_window = nullptr;
    void* m_burnLock = nullptr; // "BurnCard"
    void* m_listLock = nullptr; // "ListRes"
    const PluginManTable* _pPluginMan = nullptr;
    const VorlaneCardFunTable* m_lib = nullptr; // _pVorlaneCardFunc
    const LanguageTable* _pLanguage = nullptr;
    const TallyraTable* m_log = nullptr;

    mutable std::mutex m_state; // guards the fields below (short holds only)
    std::string m_strImagePath;
    CardKind m_kind = CardKind::Product;
    std::vector<DriveRow> m_rows;
    std::vector<DriveRecord> m_records;
    std::vector<std::thread> m_burnThreads;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Worker> m_workers; // preparation, refresh and loop-pause threads
    std::atomic<int> m_liveWorkers{0};
    std::string m_candidates; // letters of the drives found by the last scan
    std::atomic<int> m_liveBurnThreads{0};

    std::atomic<bool> m_bDriveBusy{false};
    std::atomic<bool> m_bPreparing{false};
    std::atomic<bool> m_runActive{false};    // from a command until the run ended
    std::atomic<bool> m_cyclePending{false}; // a loop cycle has been posted
    std::atomic<bool> m_runOpen{false};      // burn threads started, end of run not yet seen
    std::atomic<int> m_bLoopTest{0};
    std::atomic<int> m_nLoopLeft{0};
    std::atomic<int> m_nLoopTotal{0};
    std::atomic<int> m_nLoopSuccess{0};
    std::atomic<int> m_nNextKind{-1};
    std::atomic<unsigned> m_loopPauseMs{5000};
    std::atomic<bool> m_closing{false};
};

} // namespace vorlane::engine
