#include "BurnEngine.h"

#include "EngineLog.h"
#include "Interfaces.h"
#include "Preparation.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace vorlane::engine {
namespace {

const char kFile[] = "VorlaneCardDlg";

// The engine the library's message function reaches (the dialog pointer of
// the classic program).
std::atomic<BurnEngine*> g_engine{nullptr};

// Built-in English texts for the ids the engine and the command line use,
// taken when the language plug-in has no text for them.
const char* builtInText(int id) {
    switch (id) {
    case 15:
        return "Cards are still being written; close the window when they have finished.";
    case 16:
        return "VorlaneCard";
    case 21:
        return "No removable drive found.";
    case 22:
        return "Removable drives found: ";
    case 23:
        return "Select the kind of card to make first.";
    case 24:
        return "Select an image file first.";
    case 33:
        return "The empty first partition does not fit drive %c: the card needs more than 1024 MiB "
               "beyond it.";
    case 35:
        return "The settings cannot be opened while a burn is being prepared.";
    default:
        return "";
    }
}

// Leading decimal number of a text (digits only, clamped), 0 when none.
int leadingNumber(const char* text) {
    if (!text) return 0;
    while (*text == ' ' || *text == '\t')
        ++text;
    long long value = 0;
    bool any = false;
    while (*text >= '0' && *text <= '9') {
        any = true;
        value = value * 10 + (*text - '0');
        if (value > 1000000) value = 1000000;
        ++text;
    }
    return any ? static_cast<int>(value) : 0;
}

std::string workPath(const char* name) {
    char path[VORLANE_MAX_PATH];
    if (VpWorkPath(path, sizeof path, name) != 0) return std::string();
    return path;
}

std::string modulePath(const char* name) {
    char path[VORLANE_MAX_PATH];
    if (VpModulePath(path, sizeof path, name) != 0) return std::string();
    return path;
}

// The identity of a card for "one row per physical card": the block
// device's number, or the real path of a virtual card's file.
std::string cardIdentity(const VpCardInfo& info) {
    if (info.kind == VpCardBlock)
        return "dev:" + std::to_string(info.major) + ":" + std::to_string(info.minor);
    char resolved[PATH_MAX];
    if (realpath(info.path, resolved)) return std::string("file:") + resolved;
    return std::string("file:") + info.path;
}

class Lock {
  public:
    explicit Lock(void* mutex) : m_mutex(mutex) { WaitForSingleObject(m_mutex, INFINITE); }
    ~Lock() { ReleaseMutex(m_mutex); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

  private:
    void* m_mutex;
};

} // namespace

BurnEngine::BurnEngine(BurnObserver* observer) : m_observer(observer) {
    static BurnObserver silent;
    if (!m_observer) m_observer = &silent;
}

BurnEngine::~BurnEngine() {
    m_closing = true;
    m_bLoopTest = 0;
    // Every thread the engine started ends before the engine goes away.
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> guard(m_state);
            for (auto& w : m_workers)
                threads.push_back(std::move(w.thread));
            m_workers.clear();
            for (auto& t : m_burnThreads)
                threads.push_back(std::move(t));
            m_burnThreads.clear();
        }
        if (threads.empty()) break;
        for (auto& t : threads)
            if (t.joinable()) t.join();
    }
    BurnEngine* self = this;
    g_engine.compare_exchange_strong(self, nullptr);
    if (m_window) VpDestroyWindow(m_window);
    if (m_lib && m_lib->SetMainWindow) m_lib->SetMainWindow(nullptr);
    if (m_listLock) CloseHandle(m_listLock);
    if (m_burnLock) CloseHandle(m_burnLock);
}

void BurnEngine::Log(int level, int line, const char* function, const char* format, ...) const {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    EngineLog(level, kFile, line, function, "%s", text);
}

// ---- Start-up -----------------------------------------------------------------------------

int BurnEngine::Initalize(bool postFirstScan) {
    static const char kFunction[] = "CVorlaneCardDlg::Initalize";
    if (!m_burnLock) {
        m_burnLock = CreateMutexA(nullptr, 0, "BurnCard");
        if (!m_burnLock || GetLastError() == ERROR_ALREADY_EXISTS) {
            if (m_burnLock) CloseHandle(m_burnLock);
            m_burnLock = nullptr;
            MessageBoxA(nullptr, "The VorlaneCard Application has been runing.", "VorlaneCard",
                        MB_OK);
            return kInitAlreadyRunning;
        }
        m_listLock = CreateMutexA(nullptr, 0, "ListRes");
    }
    LoadEngineLog();

    // The plug-in centre.
    if (!_pPluginMan) {
        std::string hubrix = modulePath("Hubrix.so");
        void* library = hubrix.empty() ? nullptr : dlopen(hubrix.c_str(), RTLD_NOW | RTLD_LOCAL);
        auto getMan =
            library ? reinterpret_cast<GetPluginManFn>(dlsym(library, "GetPluginMan")) : nullptr;
        if (getMan) _pPluginMan = getMan();
        if (!_pPluginMan) OutputDebugStringA("LoadPluginCenter Error\r\n");
    }
    if (!_pPluginMan) {
        Log(LOG_LEVEL_ERROR, __LINE__, kFunction, "Load Hubrix.so Error");
        return kInitNoPluginCenter;
    }
    auto load = [&](const char* id, const char* file) {
        PluginLoadRecord record;
        std::memset(&record, 0, sizeof record);
        std::snprintf(record.id, sizeof record.id, "%s", id);
        std::string path = modulePath(file);
        std::snprintf(record.path, sizeof record.path, "%s", path.c_str());
        return _pPluginMan->LoadPlugin(&record) != 0;
    };
    if (!load(VORLANE_IID_CARDFUN, "VorlaneCardFun.so")) {
        Log(LOG_LEVEL_ERROR, __LINE__, kFunction, "Load %s Error", "VorlaneCardFun.so");
        return kInitCardFunNotLoaded;
    }
    auto lib = static_cast<const VorlaneCardFunTable*>(
        _pPluginMan->GetPluginInterface(VORLANE_IID_CARDFUN));
    if (!load(VORLANE_IID_LANGUAGE_APP, "Vocabraex.so")) {
        Log(LOG_LEVEL_ERROR, __LINE__, kFunction, "Load %s Error", "Vocabraex.so");
        return kInitLanguageNotLoaded;
    }
    _pLanguage = static_cast<const LanguageTable*>(
        _pPluginMan->GetPluginInterface(VORLANE_IID_LANGUAGE_APP));
    std::string lan = modulePath("VorlaneCard.lan");
    struct stat st;
    bool lanPresent = stat(lan.c_str(), &st) == 0;
    if (!_pLanguage || !_pLanguage->LoadLanguageFile ||
        (lanPresent && _pLanguage->LoadLanguageFile(lan.c_str()) == 0)) {
        Log(LOG_LEVEL_ERROR, __LINE__, kFunction, "Load osd language file failed.");
        return kInitLanguageFile;
    }
    if (!lanPresent) {
        // Without the program's language file the built-in English texts stand in.
        VpDebugPrintf(1024, "%s not found: built-in texts are used\n", lan.c_str());
    }
    if (!lib || !lib->Initialize) {
        Log(LOG_LEVEL_ERROR, __LINE__, kFunction, "_pVorlaneCardFunc  == NULL");
        return kInitCardFunMissing;
    }
    int r = lib->Initialize();
    if (r != 0) {
        Log(LOG_LEVEL_ERROR, __LINE__, kFunction, "VorlaneCardFunc Initalize failed. (%d)", r);
        return kInitCardFunFailed;
    }
    if (!m_window) m_window = VpCreateWindow(&BurnEngine::WindowProc, this);
    g_engine = this;
    lib->SetMainWindow(m_window);
    lib->SetMessageCallBack(&BurnEngine::MessageFunc);
    m_lib = lib;

    EnableCommandControls(false);
    m_observer->ControlEnabled(1019, true);
    m_observer->ControlEnabled(1000, true);

    // The last image from "config.cfg".
    std::string config = workPath("config.cfg");
    if (config.empty()) return kInitConfigParser;
    const char kMissing[] = "\x01missing";
    char stored[VORLANE_MAX_PATH] = "";
    GetPrivateProfileStringA("Img File", "path", kMissing, stored, sizeof stored, config.c_str());
    bool saved = true;
    if (std::strcmp(stored, kMissing) == 0) {
        saved = WritePrivateProfileStringA("Img File", "path", "", config.c_str()) != 0;
    } else if (stored[0]) {
        std::string image = stored;
        FILE* f = std::fopen(image.c_str(), "rb");
        if (!f) {
            saved = WritePrivateProfileStringA("Img File", "path", "", config.c_str()) != 0;
        } else {
            std::fclose(f);
            {
                std::lock_guard<std::mutex> guard(m_state);
                m_strImagePath = image;
            }
            if (m_lib->SetImagePath(image.c_str()) != 0)
                saved = WritePrivateProfileStringA("Img File", "path", "", config.c_str()) != 0;
        }
    }
    if (!saved) return kInitConfigParser;

    if (postFirstScan) PostMessageA(m_window, WM_REFRESH_DRIVE, 0, 0);
    EnableCommandControls(CheckedCount() > 0);
    m_observer->ControlEnabled(1000, true);
    m_observer->ControlEnabled(1019, true);
    return 0;
}

std::string BurnEngine::GetText(int id) const {
    if (_pLanguage && _pLanguage->GetText) {
        const char* text = _pLanguage->GetText(id, 1);
        if (text && *text) return text;
    }
    return builtInText(id);
}

LRESULT BurnEngine::WindowProc(HWND window, unsigned message, WPARAM wParam, LPARAM lParam,
                               void* context) {
    auto* self = static_cast<BurnEngine*>(context);
    switch (message) {
    case WM_CARD_NOTIFY:
        if (self->m_lib)
            self->m_lib->MessageCallBack(window, static_cast<int>(wParam),
                                         reinterpret_cast<ToolParam*>(lParam));
        break;
    case WM_BURN_CARD:
        self->Log(LOG_LEVEL_INFO, __LINE__, "CVorlaneCardDlg::OnMsgBurnCard",
                  "%s Ln(%d) Begin Call BurnCard", "OnMsgBurnCard", __LINE__);
        self->m_cyclePending = false;
        self->StartWorker([self] { self->PrepareThread(false); });
        break;
    case WM_RESTORE_CARD:
        self->m_cyclePending = false;
        self->StartWorker([self] { self->PrepareThread(true); });
        break;
    case WM_REFRESH_DRIVE:
        self->StartWorker([self] { self->RefreshThread(); });
        break;
    default:
        break;
    }
    return 0;
}

int BurnEngine::MessageFunc(char letter, const char* text, int code) {
    BurnEngine* engine = g_engine.load();
    if (engine) engine->MessageCallBackFunc(letter, text ? text : "", code);
    return 0;
}

// ---- Threads ------------------------------------------------------------------------------

void BurnEngine::StartWorker(std::function<void()> body) {
    if (m_closing) return;
    std::lock_guard<std::mutex> guard(m_state);
    // Finished workers are joined here, so the list stays short.
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
    Worker w;
    w.done = std::make_shared<std::atomic<bool>>(false);
    auto done = w.done;
    m_liveWorkers++;
    w.thread = std::thread([this, body = std::move(body), done] {
        body();
        m_liveWorkers--;
        done->store(true);
    });
    m_workers.push_back(std::move(w));
}

void BurnEngine::JoinBurnThreads() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(m_state);
        threads.swap(m_burnThreads);
    }
    for (auto& t : threads)
        if (t.joinable() && t.get_id() != std::this_thread::get_id())
            t.join();
        else if (t.joinable())
            t.detach();
}

bool BurnEngine::Busy() const {
    return m_runActive || m_cyclePending || m_liveBurnThreads > 0;
}

bool BurnEngine::WaitIdle(unsigned timeoutMs) {
    uint32_t start = GetTickCount();
    for (;;) {
        if (!m_runActive && !m_cyclePending && m_liveBurnThreads == 0) {
            JoinBurnThreads();
            return true;
        }
        if (timeoutMs && GetTickCount() - start >= timeoutMs) return false;
        Sleep(20);
    }
}

bool BurnEngine::CanClose() {
    if (m_liveBurnThreads > 0) return false;
    JoinBurnThreads();
    return true;
}

int BurnEngine::ReleaseLibrary() {
    if (!m_lib) return 0;
    if (Busy() || m_bPreparing) return kCmdBusy;
    JoinBurnThreads();
    int r = m_lib->Release ? m_lib->Release() : 0;
    return r;
}

// ---- Drives -------------------------------------------------------------------------------

int BurnEngine::CheckedCount() const {
    std::lock_guard<std::mutex> guard(m_state);
    int n = 0;
    for (const DriveRecord& r : m_records)
        n += r.checked ? 1 : 0;
    return n;
}

int BurnEngine::RefreshDrive() {
    static const char kFunction[] = "CVorlaneCardDlg::RefreshDrive";
    if (m_bDriveBusy) return 0;
    Lock burnLock(m_burnLock);
    m_bDriveBusy = true;

    VpDriveRefresh();
    VpCardInfo cards[26];
    int count = VpDriveList(cards, 26);
    std::vector<DriveRecord> oldRecords = Drives();
    std::vector<VpCardInfo> candidates;
    std::set<std::string> identities;
    int failures = 0;
    bool early = false;
    for (int i = 0; i < count && !early; ++i) {
        const VpCardInfo& card = cards[i];
        if (card.letter == 'A' || !card.removable) continue;
        bool permissionOnly = false;
        for (;;) {
            char error[256];
            VpCard* open = VpCardOpen(card.letter, 0, error, sizeof error);
            if (open) {
                VpCardClose(open);
                break;
            }
            int e = errno;
            if (e == EACCES || e == EPERM) {
                // Listed all the same: the burn names the device and the
                // missing permission.
                permissionOnly = true;
                break;
            }
            if (failures >= 20) {
                early = true;
                break;
            }
            SetLastError(static_cast<unsigned>(e));
            Log(LOG_LEVEL_ERROR, __LINE__, kFunction,
                "RefreshDrive创建句柄失败,errorcode:%d, i = %d", e, failures);
            Sleep(200);
            ++failures;
        }
        if (early) break;
        if (!identities.insert(cardIdentity(card)).second) continue;
        uint32_t last = 0;
        int r = VpCardReadCapacity(card.letter, &last);
        if (r != 0 && permissionOnly && card.sizeBytes >= 512) {
            last = static_cast<uint32_t>(std::min<uint64_t>(card.sizeBytes / 512 - 1, 0xFFFFFFFFu));
            r = 0;
        }
        if (r != 0) continue;
        if (last == 0) continue;
        candidates.push_back(card);
    }

    std::vector<DriveRow> rows;
    std::string letters;
    if (!early) {
        for (const VpCardInfo& card : candidates) {
            uint32_t last = 0;
            int r = VpCardReadCapacity(card.letter, &last);
            if (r != 0 && card.sizeBytes >= 512) {
                last = static_cast<uint32_t>(
                    std::min<uint64_t>(card.sizeBytes / 512 - 1, 0xFFFFFFFFu));
                r = 0;
            }
            if (r != 0) {
                Log(LOG_LEVEL_INFO, __LINE__, kFunction,
                    "in if(DeviceGetPartSecCnt(chDisk, &nSecCnt ) else");
                continue;
            }
            if (last == 0) continue;
            DriveRow row;
            row.letter = card.letter;
            row.capacityMB = static_cast<int>(last >> 11);
            row.device = card.path;
            row.model = card.model;
            row.blockDevice = card.kind == VpCardBlock;
            row.checked = true;
            for (const DriveRecord& old : oldRecords)
                if (old.letter == card.letter) {
                    row.checked = old.checked != 0;
                    break;
                }
            rows.push_back(row);
        }
        for (const VpCardInfo& card : candidates) {
            letters += card.letter;
        }
    }
    {
        std::lock_guard<std::mutex> guard(m_state);
        m_rows = rows;
        m_candidates = letters;
    }
    SyncDriveRecords(0);
    EnableAfterScan();
    if (!early) Log(LOG_LEVEL_INFO, __LINE__, kFunction, "before exit refresh");
    m_bDriveBusy = false;
    return 0;
}

void BurnEngine::EnableAfterScan() {
    EnableCommandControls(CheckedCount() > 0 && !m_bPreparing);
    m_observer->ControlEnabled(1000, true);
}

void BurnEngine::RefreshThread() {
    RefreshDrive();
    std::string letters;
    {
        std::lock_guard<std::mutex> guard(m_state);
        letters = m_candidates;
    }
    if (letters.empty()) {
        AddMessage(GetText(21));
    } else {
        std::string line = GetText(22);
        for (char l : letters) {
            line += l;
            line += ' ';
        }
        AddMessage(line);
    }
    m_observer->ScanFinished(letters);
}

void BurnEngine::RequestRefresh() {
    if (m_window) PostMessageA(m_window, WM_REFRESH_DRIVE, 0, 0);
}

void BurnEngine::SyncDriveRecords(int keepOldCheck) {
    std::vector<DriveRecord> records;
    std::vector<DriveRecord> painted;
    {
        std::lock_guard<std::mutex> guard(m_state);
        for (size_t i = 0; i < m_rows.size(); ++i) {
            DriveRow& row = m_rows[i];
            DriveRecord rec;
            rec.row = static_cast<int>(i);
            rec.letter = row.letter;
            rec.capacityMB = row.capacityMB;
            rec.checked = row.checked ? 1 : 0;
            rec.device = row.device;
            rec.model = row.model;
            rec.blockDevice = row.blockDevice;
            for (const DriveRecord& old : m_records) {
                if (old.letter != row.letter) continue;
                rec.state = old.state;
                rec.colour = old.colour;
                rec.progress = old.progress;
                rec.lastMessage = old.lastMessage;
                rec.failReason = old.failReason;
                rec.prepareError = old.prepareError;
                rec.startTick = old.startTick;
                rec.endTick = old.endTick;
                if (keepOldCheck == 0) {
                    rec.checked = old.checked;
                    row.checked = old.checked != 0;
                    painted.push_back(rec);
                }
                break;
            }
            if (!rec.checked) rec.colour = kColourWhite;
            records.push_back(rec);
        }
        m_records = records;
    }
    m_observer->DriveListChanged(records);
    if (records.empty()) {
        EnableCommandControls(false);
        m_observer->ControlEnabled(1000, true);
        m_observer->ControlEnabled(1019, true);
    }
}

std::vector<DriveRecord> BurnEngine::Drives() const {
    std::lock_guard<std::mutex> guard(m_state);
    return m_records;
}

std::vector<DriveRow> BurnEngine::Rows() const {
    std::lock_guard<std::mutex> guard(m_state);
    return m_rows;
}

void BurnEngine::ToggleCheck(int row) {
    char letter = 0;
    bool checked = false;
    {
        std::lock_guard<std::mutex> guard(m_state);
        if (row < 0 || static_cast<size_t>(row) >= m_rows.size()) return;
        letter = m_rows[static_cast<size_t>(row)].letter;
        checked = !m_rows[static_cast<size_t>(row)].checked;
    }
    SetChecked(letter, checked);
}

bool BurnEngine::SetChecked(char letter, bool checked) {
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(m_state);
        for (DriveRow& row : m_rows)
            if (row.letter == letter) {
                row.checked = checked;
                found = true;
            }
    }
    if (!found) return false;
    SyncDriveRecords(1);
    EnableCommandControls(!ImagePath().empty() && CheckedCount() > 0);
    m_observer->ControlEnabled(1019, true);
    m_observer->ControlEnabled(1000, true);
    return true;
}

void BurnEngine::ResetColoursAndRescan() {
    std::vector<DriveRecord> records;
    {
        std::lock_guard<std::mutex> guard(m_state);
        for (DriveRecord& r : m_records)
            r.colour = kColourWhite;
        records = m_records;
    }
    for (const DriveRecord& r : records)
        PaintRow(r);
    RequestRefresh();
}

// ---- Image and kind -----------------------------------------------------------------------

int BurnEngine::SetImagePath(const std::string& path) {
    {
        std::lock_guard<std::mutex> guard(m_state);
        m_strImagePath = path;
    }
    if (!m_lib) return kCmdNotInitialized;
    int r = m_lib->SetImagePath(path.c_str());
    m_observer->ControlEnabled(1005, r == 0);
    return r;
}

std::string BurnEngine::ImagePath() const {
    std::lock_guard<std::mutex> guard(m_state);
    return m_strImagePath;
}

void BurnEngine::SetKind(CardKind kind) {
    std::lock_guard<std::mutex> guard(m_state);
    m_kind = kind;
}

CardKind BurnEngine::Kind() const {
    std::lock_guard<std::mutex> guard(m_state);
    return m_kind;
}

LoopState BurnEngine::Loop() const {
    LoopState s;
    s.active = m_bLoopTest != 0;
    s.total = m_nLoopTotal;
    s.left = m_nLoopLeft;
    s.success = m_nLoopSuccess;
    s.nextKind = m_nNextKind;
    return s;
}

// ---- Commands -----------------------------------------------------------------------------

int BurnEngine::IsControlActive() const {
    static const char kFunction[] = "CVorlaneCardDlg::IsControlActive";
    std::string option = workPath("option.cfg");
    FILE* f = option.empty() ? nullptr : std::fopen(option.c_str(), "rb");
    if (!f) {
        // A missing option file holds no active option.
        if (!option.empty() && errno == ENOENT) {
            Log(LOG_LEVEL_ERROR, __LINE__, kFunction, "Get item [%s] value failed!",
                "activeFirstPartSize");
            return 292;
        }
        Log(LOG_LEVEL_ERROR, __LINE__, kFunction, "open %s file failed!", option.c_str());
        return -1;
    }
    std::fclose(f);
    const char kMissing[] = "\x01missing";
    char value[VORLANE_MAX_PATH];
    GetPrivateProfileStringA("OPTION", "activeFirstPartSize", kMissing, value, sizeof value,
                             option.c_str());
    if (std::strcmp(value, kMissing) == 0) {
        Log(LOG_LEVEL_ERROR, __LINE__, kFunction, "Get item [%s] value failed!",
            "activeFirstPartSize");
        return 292; // the parser's not-found code
    }
    Log(LOG_LEVEL_ERROR, __LINE__, kFunction, "get item[%s] value = %s", "activeFirstPartSize",
        value);
    return std::atoi(value);
}

char BurnEngine::CheckFirstPartSize() const {
    static const char kFunction[] = "CVorlaneCardDlg::OnBnClickedBtnBurn";
    std::string option = workPath("option.cfg");
    int firstPartSize = GetPrivateProfileIntA("OPTION", "FirstPartSize", 0, option.c_str());
    for (const DriveRecord& r : Drives()) {
        Log(LOG_LEVEL_INFO, __LINE__, kFunction, "%d %d", r.capacityMB - 1024, firstPartSize);
        if (static_cast<long long>(firstPartSize) + 1024 >= r.capacityMB) return r.letter;
    }
    return 0;
}

void BurnEngine::ReadLoopFile() {
    std::string path = workPath("loop.txt");
    FILE* f = path.empty() ? nullptr : std::fopen(path.c_str(), "r");
    if (!f) {
        m_bLoopTest = 0;
        return;
    }
    char line[256] = "";
    if (!std::fgets(line, sizeof line, f)) line[0] = 0;
    std::fclose(f);
    int n = leadingNumber(line);
    m_nLoopLeft = n;
    m_nLoopTotal = n;
    m_nLoopSuccess = 0;
    m_bLoopTest = 1;
    m_observer->StatusLine("");
    m_observer->ControlEnabled(1012, true);
}

int BurnEngine::Burn() {
    static const char kFunction[] = "CVorlaneCardDlg::OnBnClickedBtnBurn";
    if (!m_lib) return kCmdNotInitialized;
    if (Busy() || m_bPreparing) return kCmdBusy;
    if (ImagePath().empty()) {
        MessageBoxA(nullptr, GetText(24).c_str(), "VorlaneCard", MB_OK);
        return kCmdNoImage;
    }
    if (IsControlActive() == 1) {
        Log(LOG_LEVEL_INFO, __LINE__, kFunction,
            "you have actived the first partition size setting function!");
        char letter = CheckFirstPartSize();
        if (letter) {
            MessageBoxA(nullptr, FillText(GetText(33), 'c', std::string(1, letter)).c_str(),
                        "VorlaneCard", MB_OK);
            return kCmdFirstPartTooLarge;
        }
    }
    ReadLoopFile();
    m_nNextKind = -1;
    m_nLoopSuccess = 0;
    m_runActive = true;
    StartWorker([this] { PrepareThread(false); });
    return 0;
}

int BurnEngine::Restore() {
    if (!m_lib) return kCmdNotInitialized;
    if (Busy() || m_bPreparing) return kCmdBusy;
    ReadLoopFile();
    m_nNextKind = 1;
    m_nLoopSuccess = 0;
    m_runActive = true;
    StartWorker([this] { PrepareThread(true); });
    return 0;
}

void BurnEngine::StopLoop() {
    m_bLoopTest = 0;
    m_observer->ControlEnabled(1012, false);
}

void BurnEngine::EnableCommandControls(bool enable) {
    m_observer->CommandsEnabled(enable);
}

void BurnEngine::PaintRow(const DriveRecord& record) {
    m_observer->RowChanged(record);
}

void BurnEngine::AddMessage(const std::string& line) {
    Lock listLock(m_listLock);
    m_observer->AddMessage(line);
}

void BurnEngine::PrepareThread(bool restore) {
    // The previous run's threads may still be finishing their cards (the
    // partition tables are written after the card tool reported): a card is
    // never formatted while its last burn is still writing.
    JoinBurnThreads();
    std::vector<DriveRecord> records;
    {
        Lock burnLock(m_burnLock);
        m_bDriveBusy = true;
        m_bPreparing = true;
        EnableCommandControls(false);
        {
            Lock listLock(m_listLock);
            m_observer->MessagesCleared();
        }
        SyncDriveRecords(0);
        {
            std::lock_guard<std::mutex> guard(m_state);
            for (DriveRecord& r : m_records)
                r.progress = 0;
            records = m_records;
        }
        for (const DriveRecord& r : records) {
            m_observer->Progress(r.letter, 0);
            PaintRow(r);
        }
        for (const DriveRecord& r : records) {
            if (!r.checked || m_closing) continue;
            std::string detail;
            if (PrepareCardExfat(r.letter, &detail) == 0)
                detail.clear();
            else
                AddMessage(std::string(1, r.letter) + ": " + detail);
            std::lock_guard<std::mutex> guard(m_state);
            for (DriveRecord& rec : m_records)
                if (rec.letter == r.letter) rec.prepareError = detail;
        }
        m_bDriveBusy = false;
    }
    Sleep(300);
    StartBurnThreads(restore);
    m_bPreparing = false;
}

void BurnEngine::StartBurnThreads(bool restore) {
    static const char kFunction[] = "CVorlaneCardDlg::BurnCard";
    auto nothingStarted = [&] {
        m_bDriveBusy = false;
        m_runActive = false;
        m_observer->RunEnded(false);
    };
    if (!restore) WaitForSingleObject(m_burnLock, INFINITE);
    if (!restore) {
        Log(LOG_LEVEL_INFO, __LINE__, kFunction, "%s Ln(%d) In BurnCard", "BurnCard", __LINE__);
        Log(LOG_LEVEL_INFO, __LINE__, kFunction, "%s Ln(%d) Step 2", "BurnCard", __LINE__);
    }
    EnableCommandControls(false);
    if (!restore) m_observer->ControlEnabled(1004, false);
    VpDispatchThreadMessages();
    if (!restore) {
        for (int i = 0; i < 5 && Drives().empty(); ++i) {
            RefreshDrive();
            Sleep(200);
        }
    }
    std::vector<DriveRecord> records;
    {
        Lock listLock(m_listLock);
        std::lock_guard<std::mutex> guard(m_state);
        for (DriveRecord& r : m_records) {
            r.colour = kColourWhite;
            r.progress = 0;
            r.failReason.clear();
            r.lastMessage.clear();
        }
        records = m_records;
    }
    for (const DriveRecord& r : records)
        PaintRow(r);
    int mode = 3;
    if (!restore) {
        Log(LOG_LEVEL_INFO, __LINE__, kFunction, "%s Ln(%d) Step 3", "BurnCard", __LINE__);
        CardKind kind = Kind();
        if (kind == CardKind::Product) {
            mode = BurnModeProduct;
            m_nNextKind = -1;
        } else if (kind == CardKind::Startup) {
            mode = BurnModeStartup;
            m_nNextKind = 0;
        } else {
            ReleaseMutex(m_burnLock);
            MessageBoxA(nullptr, GetText(23).c_str(), "VorlaneCard", MB_OK);
            m_runActive = false;
            m_observer->RunEnded(false);
            return;
        }
    }
    int started = 0;
    m_runOpen = true;
    if (m_closing) records.clear(); // the engine is going away: start nothing
    for (const DriveRecord& snapshot : records) {
        m_bDriveBusy = true;
        if (!snapshot.checked) continue;
        DriveRecord rec;
        {
            Lock listLock(m_listLock);
            std::lock_guard<std::mutex> guard(m_state);
            for (DriveRecord& r : m_records)
                if (r.letter == snapshot.letter) {
                    r.state = DriveState::Running;
                    r.startTick = GetTickCount();
                    r.endTick = 0;
                    rec = r;
                }
        }
        if (!restore)
            Log(LOG_LEVEL_INFO, __LINE__, kFunction, "%s Ln(%d) Create Thread%c ", "BurnCard",
                __LINE__, snapshot.letter);
        char letter = snapshot.letter;
        m_liveBurnThreads++;
        std::lock_guard<std::mutex> guard(m_state);
        m_burnThreads.emplace_back([this, letter, mode] { BurnCardThread(letter, mode); });
        ++started;
    }
    if (!restore) ReleaseMutex(m_burnLock);
    if (started == 0) {
        m_runOpen = false;
        EnableCommandControls(true);
        nothingStarted();
    }
}

void BurnEngine::BurnCardThread(char letter, int mode) {
    static const char kFunction[] = "CVorlaneCardDlg::BurnCardThread";
    Log(LOG_LEVEL_INFO, __LINE__, kFunction, "Ln %d In BurnCard Thread pParam = %x", __LINE__,
        static_cast<unsigned>(static_cast<unsigned char>(letter)));
    int r = m_lib->BurnCard(static_cast<char>(static_cast<unsigned char>(letter)), mode, 0);
    // The library reports the card run's result itself; what it cannot
    // report is a failure after the card tool said "done" (the partition
    // table written last) or a run that ended without any result.
    DriveState state = DriveState::Idle;
    bool found = false;
    {
        Lock listLock(m_listLock);
        DriveRecord changed;
        {
            std::lock_guard<std::mutex> guard(m_state);
            for (DriveRecord& rec : m_records)
                if (rec.checked && rec.letter == letter) {
                    found = true;
                    state = rec.state;
                    if (r != 0 && rec.state == DriveState::Done) {
                        char text[128];
                        std::snprintf(text, sizeof text,
                                      "writing the partition table failed (code %d)", r);
                        rec.state = DriveState::Failed;
                        rec.colour = kColourFailed;
                        rec.failReason = text;
                        changed = rec;
                    }
                    break;
                }
        }
        if (changed.letter) {
            PaintRow(changed);
            AddMessage(std::string(1, letter) + ": " + changed.failReason);
        }
    }
    if (found && (state == DriveState::Idle || state == DriveState::Running)) {
        char text[128];
        std::snprintf(text, sizeof text, "the card run ended without a result (code %d)", r);
        MessageCallBackFunc(letter, text, CardMessageFailed);
    }
    m_liveBurnThreads--;
}

// ---- The library's callback ---------------------------------------------------------------

int BurnEngine::MessageCallBackFunc(char letter, const char* text, int code) {
    static const char kFunction[] = "CVorlaneCardDlg::MessageCallBackFunc";
    if (!text) text = "";
    m_observer->CardEvent(letter, text, code);
    Lock listLock(m_listLock);
    DriveRecord rec;
    bool found = false;
    bool ended = false;
    bool success = false;
    {
        std::lock_guard<std::mutex> guard(m_state);
        DriveRecord* r = nullptr;
        for (DriveRecord& candidate : m_records)
            if (candidate.checked && candidate.letter == letter) {
                r = &candidate;
                break;
            }
        if (r) {
            found = true;
            bool final = r->state == DriveState::Done || r->state == DriveState::Failed;
            switch (code) {
            case CardMessageDone:
                if (!final) {
                    r->state = DriveState::Done;
                    r->colour = kColourDone;
                    r->progress = 100;
                    r->endTick = GetTickCount();
                    success = true;
                    ended = true;
                }
                break;
            case CardMessageProgress:
                // A late progress text never reopens a finished drive.
                if (!final) {
                    r->state = DriveState::Running;
                    r->colour = kColourRunning;
                }
                r->progress = leadingNumber(text);
                break;
            case CardMessageText30:
            case CardMessageText50:
                break;
            case CardMessageFailed:
                if (!final) {
                    r->state = DriveState::Failed;
                    r->colour = kColourFailed;
                    r->failReason = text;
                    r->endTick = GetTickCount();
                    ended = true;
                }
                r->lastMessage = text;
                break;
            default:
                r->lastMessage = text;
                break;
            }
            rec = *r;
        }
    }
    if (!found) {
        EnableCommandControls(true);
        return kCallbackUnknownDrive;
    }
    char line[1024];
    std::snprintf(line, sizeof line, "%c: %s", letter, text);
    switch (code) {
    case CardMessageDone:
        PaintRow(rec);
        m_observer->Progress(letter, 100);
        break;
    case CardMessageProgress:
        PaintRow(rec);
        m_observer->Progress(letter, rec.progress);
        break;
    case CardMessageText30:
    case CardMessageText50:
        break;
    case CardMessageFailed:
        PaintRow(rec);
        AddMessage(line);
        break;
    default:
        AddMessage(line);
        break;
    }
    if (!ended) return 0;

    // The end test, under "ListRes" with the state change: exactly one
    // callback ends a run.
    {
        std::lock_guard<std::mutex> guard(m_state);
        for (const DriveRecord& r : m_records)
            if (r.checked && (r.state == DriveState::Idle || r.state == DriveState::Running))
                return 0;
    }
    if (!m_runOpen.exchange(false)) return 0;
    EnableCommandControls(true);
    m_observer->ControlEnabled(1004, true);
    m_nLoopLeft--;
    if (success) m_nLoopSuccess++;
    m_bDriveBusy = false;
    m_bPreparing = false;
    Log(LOG_LEVEL_INFO, __LINE__, kFunction, "release mutex allfinish");
    bool nextCycle = false;
    if (m_bLoopTest) {
        char status[128];
        std::snprintf(status, sizeof status, "Loop Test (%d/%d) success(%d)",
                      m_nLoopTotal - m_nLoopLeft, m_nLoopTotal.load(), m_nLoopSuccess.load());
        m_observer->StatusLine(status);
        if (m_bLoopTest && m_nLoopLeft > 0 && !m_closing) nextCycle = true;
    }
    if (!nextCycle) m_observer->ControlEnabled(1012, false);
    m_observer->RunEnded(success);
    if (nextCycle) {
        // The pause runs on its own thread, so the thread that delivered the
        // last result (possibly the window's) is not held for it.
        m_cyclePending = true;
        StartWorker([this] {
            unsigned pause = m_loopPauseMs;
            for (unsigned waited = 0; waited < pause && m_bLoopTest && !m_closing; waited += 50)
                Sleep(std::min(50u, pause - waited));
            if (!m_bLoopTest || m_closing) {
                // Stop during the pause: no further cycle.
                m_observer->ControlEnabled(1012, false);
                m_cyclePending = false;
                m_runActive = false;
                return;
            }
            int next = m_nNextKind;
            if (next == -1) {
                SetKind(CardKind::Startup);
                m_observer->KindChanged(CardKind::Startup);
                PostMessageA(m_window, WM_BURN_CARD, 0, 0);
            } else if (next == 0) {
                SetKind(CardKind::Product);
                m_observer->KindChanged(CardKind::Product);
                PostMessageA(m_window, WM_BURN_CARD, 0, 0);
            } else {
                PostMessageA(m_window, WM_RESTORE_CARD, 0, 0);
            }
        });
    } else {
        m_runActive = false;
    }
    return 0;
}

std::string FillText(const std::string& text, char conversion, const std::string& value) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(conversion)));
    std::string out;
    bool filled = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size()) {
            char next = text[i + 1];
            if (next == '%') {
                out += '%';
                ++i;
                continue;
            }
            if ((next == conversion || next == upper) && !filled) {
                out += value;
                filled = true;
                ++i;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

} // namespace vorlane::engine
