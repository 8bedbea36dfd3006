// The logging library through its exported table: log.ini settings, the
// line format, file naming and rotation, and concurrent writers.
#include "LibraryTables.h"
#include "TestSupport.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>

namespace {

using vorlane::test::ReadFile;
using vorlane::test::WriteFile;

const TallyraTable* Tallyra() {
    static const TallyraTable* table = [] {
        const char* dir = std::getenv("VORLANE_MODULE_DIR");
        std::string path = std::string(dir && *dir ? dir : VORLANE_TEST_MODULE_DIR) + "/Tallyra.so";
        void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) return static_cast<const TallyraTable*>(nullptr);
        auto get = reinterpret_cast<TallyraGetInterfaceFn>(dlsym(lib, "GetInterface"));
        return get ? get(0) : nullptr;
    }();
    return table;
}

// Every logger of one process needs its own id; tests that need the
// process-wide combined file check that no other test created it first.
uintptr_t NextId() {
    static std::atomic<uintptr_t> next{0x1000};
    return next += 16;
}
bool g_combinedTaken = false;

std::string ReadText(const std::string& path) {
    auto bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// `text` has the shape of `pattern`, where '9' stands for any digit.
bool Shape(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (pattern[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i]))
                              : text[i] != pattern[i])
            return false;
    return true;
}

bool Digits(const std::string& text, size_t minimum = 1) {
    return text.size() >= minimum && std::all_of(text.begin(), text.end(), [](char c) {
               return std::isdigit(static_cast<unsigned char>(c));
           });
}

// Files in `dir` named <prefix>_YYYYMMDD_HHMMSS[_N].log, sorted by N.
std::vector<std::string> LogFiles(const std::string& dir, const std::string& prefix) {
    std::vector<std::pair<int, std::string>> found;
    const size_t stamp = prefix.size() + 16; // "_YYYYMMDD_HHMMSS"
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() < stamp + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
                !Shape(name.substr(prefix.size(), 16), "_99999999_999999") ||
                name.compare(name.size() - 4, 4, ".log") != 0)
                continue;
            std::string rest = name.substr(stamp, name.size() - 4 - stamp);
            if (rest.empty())
                found.emplace_back(0, dir + "/" + name);
            else if (rest[0] == '_' && Digits(rest.substr(1)))
                found.emplace_back(std::atoi(rest.c_str() + 1), dir + "/" + name);
        }
        closedir(d);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& f : found)
        paths.push_back(f.second);
    return paths;
}

// Size of the three header lines at the start of `text`, 0 when they are not there.
size_t HeaderSize(const std::string& text) {
    const std::string created = "Log file create at: 9999/99/99 99:99:99\r\n";
    const std::string machine = "Running on machine: ";
    const std::string format =
        "Log line format: [mmdd hh:mm:ss.uuuu|threadid|file|line|function]msg\r\n";
    if (text.size() < created.size() || !Shape(text.substr(0, created.size()), created)) return 0;
    size_t pos = created.size();
    if (text.compare(pos, machine.size(), machine) != 0) return 0;
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos || end - pos - machine.size() > 15) return 0;
    pos = end + 2;
    if (text.compare(pos, format.size(), format) != 0) return 0;
    return pos + format.size();
}

// One record line without its CR LF: "[stamp|tid|tag|file|line|function]message".
struct Record {
    std::string tid, tag, file, line, function, message;
};
bool ParseRecord(const std::string& text, Record* r) {
    if (text.size() < 20 || text[0] != '[' || !Shape(text.substr(1, 18), "9999 99:99:99.9999") ||
        text[19] != '|')
        return false;
    std::string* fields[] = {&r->tid, &r->tag, &r->file, &r->line};
    size_t pos = 20;
    for (std::string* f : fields) {
        size_t bar = text.find('|', pos);
        if (bar == std::string::npos) return false;
        *f = text.substr(pos, bar - pos);
        pos = bar + 1;
    }
    size_t close = text.find(']', pos);
    if (close == std::string::npos) return false;
    r->function = text.substr(pos, close - pos);
    r->message = text.substr(close + 1);
    return Digits(r->tid, 4) && Digits(r->line, 5);
}

class TallyraTest : public vorlane::test::VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        ASSERT_NE(Tallyra(), nullptr);
        m_logs = m_root + "/logs";
        m_ini = m_root + "/log.ini";
    }
    // A log.ini whose [global] rootDirectory is this test's log directory.
    void WriteIni(const std::string& global, const std::string& own,
                  const std::string& section = "VorlaneCard") {
        WriteFile(m_ini, "[global]\r\nrootDirectory=" + m_logs + "\r\n" + global + "[" + section +
                             "]\r\n" + own);
    }
    std::string m_logs, m_ini;
};

TEST_F(TallyraTest, TableHasThreeSlotsAndIsStable) {
    const TallyraTable* t = Tallyra();
    EXPECT_NE(t->LogInit, nullptr);
    EXPECT_EQ(t->reserved1, nullptr);
    EXPECT_EQ(t->reserved2, nullptr);
    EXPECT_NE(t->LogPrint, nullptr);
    EXPECT_NE(t->LogWrite, nullptr);
    void* lib = dlopen(ModulePath("Tallyra.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr);
    auto get = reinterpret_cast<TallyraGetInterfaceFn>(dlsym(lib, "GetInterface"));
    EXPECT_EQ(get(7), t);
    // An id without LogInit writes nothing and still answers 0.
    m_capture.Clear();
    EXPECT_EQ(t->LogPrint(NextId(), 1, "INFO", "f", 1, "g", "%s", "x"), 0);
    EXPECT_EQ(t->LogWrite(NextId(), "x", 1), 0);
    EXPECT_TRUE(m_capture.Debug().empty());
}

TEST_F(TallyraTest, DefaultsWithoutLogIniWriteOwnAndCombinedFiles) {
    if (g_combinedTaken) GTEST_SKIP() << "the combined file already exists in this process";
    g_combinedTaken = true;
    // A null path reads log.ini from the module directory: there is none here.
    std::string modules = m_root + "/modules";
    ASSERT_EQ(mkdir(modules.c_str(), 0755), 0);
    setenv("VORLANE_MODULE_DIR", modules.c_str(), 1);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(m_home.c_str()), 0);
    const TallyraTable* t = Tallyra();
    uintptr_t id = NextId();
    EXPECT_EQ(t->LogInit(id, nullptr, "VorlaneCard"), 0);
    EXPECT_EQ(t->LogPrint(id, 1, "INFO", "Dlg.cpp", 42, "OnInit", "hello %d", 7), 0);
    ASSERT_EQ(chdir(cwd), 0);
    unsetenv("VORLANE_MODULE_DIR");

    std::string dir = m_home + "/log_directory";
    auto own = LogFiles(dir, "unknow");
    auto combined = LogFiles(dir, "MAIN");
    ASSERT_EQ(own.size(), 1u);
    ASSERT_EQ(combined.size(), 1u);
    unsigned long tid = static_cast<unsigned long>(syscall(SYS_gettid));
    for (const auto& path : {own[0], combined[0]}) {
        std::string text = ReadText(path);
        size_t header = HeaderSize(text);
        ASSERT_GT(header, 0u) << path;
        std::string body = text.substr(header);
        ASSERT_GE(body.size(), 2u);
        EXPECT_EQ(body.substr(body.size() - 2), "\r\n");
        EXPECT_EQ(body.find("\r\n"), body.size() - 2) << body;
        Record r;
        ASSERT_TRUE(ParseRecord(body.substr(0, body.size() - 2), &r)) << body;
        EXPECT_EQ(std::stoul(r.tid), tid);
        EXPECT_EQ(r.tag, "INFO");
        EXPECT_EQ(r.file, "Dlg.cpp");
        EXPECT_EQ(r.line, "00042");
        EXPECT_EQ(r.function, "OnInit");
        EXPECT_EQ(r.message, "hello 7");
    }
    EXPECT_TRUE(m_capture.DebugContains("|INFO|Dlg.cpp|00042|OnInit]hello 7\r\n"));
}

TEST_F(TallyraTest, NullPathReadsLogIniOfModuleDirectory) {
    std::string modules = m_root + "/modules";
    ASSERT_EQ(mkdir(modules.c_str(), 0755), 0);
    WriteFile(modules + "/log.ini", "[global]\r\nrootDirectory=" + m_logs +
                                        "\r\nlogmode=along\r\n[VorlaneCardFun]\r\nprefix=fun\r\n");
    setenv("VORLANE_MODULE_DIR", modules.c_str(), 1);
    uintptr_t id = NextId();
    Tallyra()->LogInit(id, nullptr, "VorlaneCardFun");
    unsetenv("VORLANE_MODULE_DIR");
    Tallyra()->LogPrint(id, 1, "INFO", "a", 1, "b", "from module dir");
    auto files = LogFiles(m_logs, "fun");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(ReadText(files[0]).find("from module dir"), std::string::npos);
    EXPECT_TRUE(LogFiles(m_logs, "MAIN").empty());
}

// [global] and logger values of debugmode and logmode, and which wins.
TEST_F(TallyraTest, DebugModeAndLogModePrecedence) {
    if (g_combinedTaken) GTEST_SKIP() << "the combined file already exists in this process";
    g_combinedTaken = true;
    struct Case {
        const char* global;
        const char* own;
        bool box;
        bool combined;
    } cases[] = {
        {"debugmode=messagebox\r\n", "debugmode=none\r\n", true, true},
        {"", "debugmode=MessageBox\r\n", true, true},
        {"debugmode=printstack\r\n", "", false, true},
        {"debugmode=messagebox\r\n", "debugmode=printstack\r\n", false, true},
        {"debugmode=garbage\r\n", "", false, true},
        {"logmode=along\r\n", "logmode=combind\r\n", false, true},
        {"logmode=along\r\n", "", false, false},
        {"", "logmode=along\r\n", false, false},
        {"logmode=ALONG\r\n", "logmode=nonsense\r\n", false, false},
        {"logmode=nonsense\r\n", "", false, true},
    };
    // The first case creates the combined file in this test's directory.
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.global) + " / " + c.own);
        WriteIni(c.global, c.own);
        uintptr_t id = NextId();
        Tallyra()->LogInit(id, m_ini.c_str(), "VorlaneCard");
        m_capture.Clear();
        std::string mark = "case-" + std::to_string(n++) + "-end";
        Tallyra()->LogPrint(id, 5, "E(0)", "x.cpp", 1, "f", "%s", mark.c_str());
        Tallyra()->LogPrint(id, 3, "E(0)", "x.cpp", 2, "f", "not fatal");
        auto boxes = m_capture.Boxes();
        ASSERT_EQ(boxes.size(), c.box ? 1u : 0u);
        if (c.box) {
            EXPECT_EQ(boxes[0].caption, "致命错误--unknow");
            EXPECT_NE(boxes[0].text.find(mark + "\r\n"), std::string::npos);
            EXPECT_EQ(boxes[0].type, MB_OK);
        }
        auto main = LogFiles(m_logs, "MAIN");
        ASSERT_EQ(main.size(), 1u);
        EXPECT_EQ(ReadText(main[0]).find(mark) != std::string::npos, c.combined);
    }
}

// The fatal line is in the log file and the debugger output before the box shows.
struct BoxWitness {
    std::string dir;
    std::vector<std::string> debug;
    bool inFile = false, inDebug = false;
    int boxes = 0;
};
int WitnessBox(HWND, const char* text, const char*, unsigned, void* context) {
    auto* w = static_cast<BoxWitness*>(context);
    ++w->boxes;
    for (const auto& f : LogFiles(w->dir, "fatal"))
        if (ReadText(f).find(text) != std::string::npos) w->inFile = true;
    for (const auto& d : w->debug)
        if (d == text) w->inDebug = true;
    return IDOK;
}
void WitnessDebug(const char* text, void* context) {
    static_cast<BoxWitness*>(context)->debug.emplace_back(text);
}

TEST_F(TallyraTest, FatalLineIsWrittenBeforeTheBox) {
    WriteIni("debugmode=messagebox\r\nlogmode=along\r\n", "prefix=fatal\r\n");
    uintptr_t id = NextId();
    Tallyra()->LogInit(id, m_ini.c_str(), "VorlaneCard");
    BoxWitness witness{m_logs, {}, false, false, 0};
    VpSetMessageBoxHandler(&WitnessBox, &witness);
    VpSetDebugHook(&WitnessDebug, &witness);
    Tallyra()->LogPrint(id, 5, "E(5)", "x.cpp", 3, "f", "the end");
    VpSetMessageBoxHandler(nullptr, nullptr);
    VpSetDebugHook(nullptr, nullptr);
    EXPECT_EQ(witness.boxes, 1);
    EXPECT_TRUE(witness.inFile);
    EXPECT_TRUE(witness.inDebug);
}

TEST_F(TallyraTest, NoOutputsStillRaisesFatalBoxAndSecondInitChangesNothing) {
    WriteIni("debugmode=messagebox\r\nlogmode=along\r\n", "file=0\r\ndebugview=0\r\nprefix=p\r\n");
    uintptr_t id = NextId();
    Tallyra()->LogInit(id, m_ini.c_str(), "VorlaneCard");
    // Another section for the same id would log to files: it is ignored.
    WriteIni("", "prefix=other\r\n", "Other");
    Tallyra()->LogInit(id, m_ini.c_str(), "Other");
    m_capture.Clear();
    Tallyra()->LogPrint(id, 5, "E(2)", "x.cpp", 9, "f", "fatal");
    Tallyra()->LogWrite(id, "raw", 3);
    EXPECT_TRUE(m_capture.Debug().empty());
    ASSERT_EQ(m_capture.Boxes().size(), 1u);
    EXPECT_EQ(m_capture.Boxes()[0].caption, "致命错误--p");
    EXPECT_TRUE(LogFiles(m_logs, "p").empty());
    EXPECT_TRUE(LogFiles(m_logs, "other").empty());
}

// maxfilesize 1000 and 300-byte lines: the file takes lines while they fit,
// the next goes to _1.log after a new header; a line longer than the limit
// gets a new file of its own and is written whole.
TEST_F(TallyraTest, RotationBySize) {
    WriteIni("logmode=along\r\n", "prefix=rot\r\nmaxfilesize=1000\r\ndebugview=0\r\n");
    uintptr_t id = NextId();
    Tallyra()->LogInit(id, m_ini.c_str(), "VorlaneCard");
    auto first = LogFiles(m_logs, "rot");
    ASSERT_EQ(first.size(), 1u);
    size_t header = HeaderSize(ReadText(first[0]));
    // Any header of 101 ... 399 bytes leaves room for exactly two lines.
    ASSERT_GT(header, 100u);
    ASSERT_LT(header, 400u);

    std::vector<std::string> lines;
    for (int i = 0; i < 5; ++i) {
        std::string line(298, char('a' + i));
        lines.push_back(line + "\r\n");
        Tallyra()->LogWrite(id, lines.back().data(), 300);
    }
    std::string big(2500, 'Z');
    big += "\r\n";
    Tallyra()->LogWrite(id, big.data(), static_cast<int>(big.size()));
    Tallyra()->LogWrite(id, lines[0].data(), 300);

    auto files = LogFiles(m_logs, "rot");
    ASSERT_EQ(files.size(), 5u);
    EXPECT_EQ(files[0], first[0]);
    for (size_t i = 1; i < files.size(); ++i)
        EXPECT_EQ(files[i],
                  first[0].substr(0, first[0].size() - 4) + "_" + std::to_string(i) + ".log");
    const std::string expected[] = {lines[0] + lines[1], lines[2] + lines[3], lines[4], big,
                                    lines[0]};
    for (size_t i = 0; i < files.size(); ++i) {
        std::string text = ReadText(files[i]);
        size_t h = HeaderSize(text);
        ASSERT_GT(h, 0u) << files[i];
        EXPECT_EQ(text.substr(h), expected[i]) << files[i];
        if (i != 3) {
            EXPECT_LE(text.size(), 1000u) << files[i];
        }
    }
}

// Garbage around the keys and a size that is no number: the logger still
// works, and a limit of 0 does not open a file per line.
TEST_F(TallyraTest, GarbageLogIni) {
    auto noise = vorlane::test::RandomBytes(4096, 7);
    for (auto& b : noise)
        if (b == '[' || b == '\n' || b == '\r') b = 'x';
    std::string text = "[global]\r\nrootDirectory=" + m_logs + "\r\nlogmode=along\r\n" +
                       std::string(noise.begin(), noise.end()) +
                       "\r\n[VorlaneCard]\r\nmaxfilesize=abc\r\ndebugview=0\r\nprefix=g\r\n";
    WriteFile(m_ini, text);
    uintptr_t id = NextId();
    EXPECT_EQ(Tallyra()->LogInit(id, m_ini.c_str(), "VorlaneCard"), 0);
    for (int i = 0; i < 20; ++i)
        Tallyra()->LogPrint(id, 1, "INFO", "g.cpp", i, "f", "line %d", i);
    auto files = LogFiles(m_logs, "g");
    ASSERT_EQ(files.size(), 1u);
    std::string body = ReadText(files[0]);
    for (int i = 0; i < 20; ++i)
        EXPECT_NE(body.find("]line " + std::to_string(i) + "\r\n"), std::string::npos) << i;
}

int OpenFds() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

// Fast rotation keeps no pile of open files, and two loggers with the same
// prefix started within one second keep each other's lines.
TEST_F(TallyraTest, RotationKeepsFewFilesOpenAndSharedNamesLoseNothing) {
    WriteIni("logmode=along\r\n", "prefix=same\r\nmaxfilesize=1000\r\ndebugview=0\r\n");
    uintptr_t first = NextId(), second = NextId();
    Tallyra()->LogInit(first, m_ini.c_str(), "VorlaneCard");
    Tallyra()->LogWrite(first, "from the first logger\r\n", 23);
    Tallyra()->LogInit(second, m_ini.c_str(), "VorlaneCard");
    Tallyra()->LogWrite(second, "from the second logger\r\n", 24);
    std::string all;
    for (const auto& f : LogFiles(m_logs, "same"))
        all += ReadText(f);
    EXPECT_NE(all.find("from the first logger\r\n"), std::string::npos);
    EXPECT_NE(all.find("from the second logger\r\n"), std::string::npos);

    WriteIni("logmode=along\r\n", "prefix=fast\r\nmaxfilesize=1000\r\ndebugview=0\r\n");
    uintptr_t id = NextId();
    Tallyra()->LogInit(id, m_ini.c_str(), "VorlaneCard");
    int before = OpenFds();
    std::string line(598, 'x');
    line += "\r\n";
    for (int i = 0; i < 200; ++i)
        Tallyra()->LogWrite(id, line.data(), 600);
    EXPECT_EQ(LogFiles(m_logs, "fast").size(), 200u); // one 600-byte line per file
    EXPECT_LE(OpenFds(), before + 1);
}

TEST_F(TallyraTest, HugeMessageIsWrittenWhole) {
    WriteIni("logmode=along\r\n", "prefix=big\r\nmaxfilesize=100000\r\n");
    uintptr_t id = NextId();
    Tallyra()->LogInit(id, m_ini.c_str(), "VorlaneCard");
    std::string message(1 << 20, 'm');
    message[0] = '<';
    message.back() = '>';
    m_capture.Clear();
    Tallyra()->LogPrint(id, 1, "INFO", "f.cpp", 1, "g", "%s", message.c_str());
    Tallyra()->LogPrint(id, 1, "INFO", "f.cpp", 2, "g", "small");
    auto files = LogFiles(m_logs, "big");
    ASSERT_EQ(files.size(), 3u);
    EXPECT_NE(ReadText(files[1]).find("]" + message + "\r\n"), std::string::npos);
    EXPECT_NE(ReadText(files[2]).find("|00002|g]small\r\n"), std::string::npos);
    auto debug = m_capture.Debug();
    ASSERT_EQ(debug.size(), 2u);
    EXPECT_EQ(debug[0].size(), debug[0].find("]" + message) + message.size() + 3);
}

TEST_F(TallyraTest, UnwritableDirectoryStaysSilentButDebugOutputGetsLines) {
    std::string missing = m_root + "/no/such/parent/logs";
    WriteFile(m_ini, "[global]\r\nrootDirectory=" + missing +
                         "\r\nlogmode=along\r\n[VorlaneCard]\r\nmaxfilesize=200\r\n");
    uintptr_t id = NextId();
    Tallyra()->LogInit(id, m_ini.c_str(), "VorlaneCard");
    m_capture.Clear();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Tallyra()->LogPrint(id, 1, "INFO", "f", i, "g", "line %d", i), 0);
    EXPECT_FALSE(vorlane::test::FileExists(m_root + "/no"));
    EXPECT_EQ(m_capture.Debug().size(), 5u);
}

// Eight threads log at once through many rotations: every line lands
// exactly once, whole, and no file passes its limit.
TEST_F(TallyraTest, ConcurrentWritersAcrossRotations) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int perThread = 2000;
#else
    const int perThread = 10000;
#endif
    const int threads = 8;
    const int limit = 50000;
    WriteIni("logmode=along\r\n",
             "prefix=mt\r\ndebugview=0\r\nmaxfilesize=" + std::to_string(limit) + "\r\n");
    uintptr_t id = NextId();
    Tallyra()->LogInit(id, m_ini.c_str(), "VorlaneCard");
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([id, t, perThread] {
            for (int i = 0; i < perThread; ++i)
                Tallyra()->LogPrint(id, 1, "INFO", "mt.cpp", i, "worker", "t%d n%d %s", t, i,
                                    i % 7 == 0 ? "padding-padding-padding" : "");
        });
    for (auto& th : pool)
        th.join();

    std::vector<std::vector<int>> seen(threads, std::vector<int>(perThread, 0));
    auto files = LogFiles(m_logs, "mt");
    ASSERT_GT(files.size(), 10u);
    size_t torn = 0;
    for (const auto& f : files) {
        std::string text = ReadText(f);
        EXPECT_LE(text.size(), size_t(limit)) << f;
        size_t pos = HeaderSize(text);
        ASSERT_GT(pos, 0u) << f;
        while (pos < text.size()) {
            size_t end = text.find("\r\n", pos);
            ASSERT_NE(end, std::string::npos) << f;
            Record r;
            int t = -1, n = -1;
            char tail[64] = {};
            if (ParseRecord(text.substr(pos, end - pos), &r) && r.tag == "INFO" &&
                r.file == "mt.cpp" && r.function == "worker" &&
                std::sscanf(r.message.c_str(), "t%d n%d %63s", &t, &n, tail) >= 2 && t >= 0 &&
                t < threads && n >= 0 && n < perThread && std::stoi(r.line) == n &&
                r.message == "t" + std::to_string(t) + " n" + std::to_string(n) + " " +
                                 (n % 7 == 0 ? "padding-padding-padding" : "")) {
                ++seen[t][n];
            } else {
                ++torn;
            }
            pos = end + 2;
        }
    }
    EXPECT_EQ(torn, 0u);
    for (int t = 0; t < threads; ++t)
        for (int n = 0; n < perThread; ++n)
            ASSERT_EQ(seen[t][n], 1) << "t" << t << " n" << n;
}

} // namespace
