// The operating-system stand-in: code page, mutexes, windows, directories, drive map.
#include "TestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace vorlane::test;

namespace {

class PlatformTest : public VorlaneTest {};

TEST_F(PlatformTest, CodePageFollowsOverrideThenLocale) {
    struct Case {
        const char* forced;
        const char* lang;
        unsigned expected;
    } cases[] = {
        {nullptr, "zh_CN.UTF-8", 936}, {nullptr, "zh_SG", 936},   {nullptr, "zh_TW.UTF-8", 950},
        {nullptr, "zh_HK", 950},       {nullptr, "zh_MO", 950},   {nullptr, "de_DE.UTF-8", 1252},
        {nullptr, "C", 1252},          {"950", "zh_CN", 950},     {"936", "C", 936},
    };
    for (const Case& c : cases) {
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        if (c.forced) setenv("VORLANE_CODEPAGE", c.forced, 1); else unsetenv("VORLANE_CODEPAGE");
        setenv("LANG", c.lang, 1);
        EXPECT_EQ(GetACP(), c.expected) << c.lang;
    }
    unsetenv("VORLANE_CODEPAGE");
    setenv("LANG", "zh_CN", 1);
    setenv("LC_ALL", "en_US", 1); // LC_ALL wins over LANG
    EXPECT_EQ(GetACP(), 1252u);
    unsetenv("LC_ALL");
}

TEST_F(PlatformTest, NamedMutexIsRecursiveAndExcludesOtherThreads) {
    void* a = CreateMutexA(nullptr, 0, "ListRes-test");
    EXPECT_EQ(GetLastError(), 0u);
    void* b = CreateMutexA(nullptr, 0, "ListRes-test");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_EQ(WaitForSingleObject(a, INFINITE), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(b, INFINITE), WAIT_OBJECT_0); // same name, same owner
    std::atomic<unsigned> other{99};
    std::thread t([&] { other = WaitForSingleObject(b, 50); });
    t.join();
    EXPECT_EQ(other.load(), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(a));
    EXPECT_TRUE(ReleaseMutex(b));
    EXPECT_FALSE(ReleaseMutex(b)); // not owned any more
    std::thread t2([&] {
        other = WaitForSingleObject(b, 1000);
        ReleaseMutex(b);
    });
    t2.join();
    EXPECT_EQ(other.load(), WAIT_OBJECT_0);
    CloseHandle(a);
    CloseHandle(b);
    void* c = CreateMutexA(nullptr, 0, "ListRes-test");
    EXPECT_EQ(GetLastError(), 0u) << "all handles were closed, so the name is new again";
    CloseHandle(c);
}

TEST_F(PlatformTest, InstanceMarkerIsSeenByASecondProcess) {
    std::string runtime = m_root + "/run";
    ASSERT_EQ(RunCommand("mkdir -p '" + runtime + "'"), 0);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    void* mine = CreateMutexA(nullptr, 0, "BurnCard");
    ASSERT_EQ(GetLastError(), 0u);
    pid_t child = fork();
    if (child == 0) {
        void* theirs = CreateMutexA(nullptr, 0, "BurnCard");
        _exit(GetLastError() == ERROR_ALREADY_EXISTS && theirs ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CloseHandle(mine);
    child = fork();
    if (child == 0) {
        CreateMutexA(nullptr, 0, "BurnCard");
        _exit(GetLastError() == 0 ? 0 : 1);
    }
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "marker released on close";
    unsetenv("XDG_RUNTIME_DIR");
}

struct Received {
    std::mutex lock;
    std::vector<std::tuple<unsigned, WPARAM, LPARAM, std::thread::id>> messages;
};

LRESULT RecordProc(HWND, unsigned message, WPARAM w, LPARAM l, void* context) {
    auto* r = static_cast<Received*>(context);
    std::lock_guard<std::mutex> lock(r->lock);
    r->messages.emplace_back(message, w, l, std::this_thread::get_id());
    return static_cast<LRESULT>(w * 2);
}

TEST_F(PlatformTest, SendRunsSynchronouslyAndPostQueuesInOrder) {
    Received received;
    HWND window = VpCreateWindow(RecordProc, &received);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageA(window, 2024, 21, 7), 42);
    ASSERT_EQ(received.messages.size(), 1u);
    EXPECT_EQ(std::get<3>(received.messages[0]), std::this_thread::get_id());
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(PostMessageA(window, 0x592, i, 0));
    for (int wait = 0; wait < 200; ++wait) {
        {
            std::lock_guard<std::mutex> lock(received.lock);
            if (received.messages.size() == 51) break;
        }
        Sleep(10);
    }
    ASSERT_EQ(received.messages.size(), 51u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(std::get<1>(received.messages[1 + i]), WPARAM(i));
    EXPECT_EQ(SendMessageA(nullptr, 2024, 1, 0), 0) << "a null window receives nothing";
    VpDestroyWindow(window);
    EXPECT_EQ(SendMessageA(window, 2024, 1, 0), 0);
    EXPECT_FALSE(PostMessageA(window, 2024, 1, 0));
}

struct Gui {
    std::thread::id thread;
    std::atomic<int> calls{0};
};
void RunOnCaller(void (*call)(void*), void* argument, int, void* context) {
    auto* gui = static_cast<Gui*>(context);
    gui->thread = std::this_thread::get_id();
    ++gui->calls;
    call(argument);
}

TEST_F(PlatformTest, MarshallerCarriesSentAndPostedMessages) {
    Received received;
    Gui gui;
    HWND window = VpCreateWindow(RecordProc, &received);
    VpSetWindowMarshaller(window, RunOnCaller, &gui);
    EXPECT_EQ(SendMessageA(window, 2024, 5, 0), 10);
    EXPECT_TRUE(PostMessageA(window, 2024, 6, 0));
    EXPECT_EQ(gui.calls.load(), 2);
    EXPECT_EQ(received.messages.size(), 2u);
    VpDestroyWindow(window);
}

TEST_F(PlatformTest, MessageBoxesGoToTheHandler) {
    m_capture.SetAnswer(IDCANCEL);
    EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", MB_OKCANCEL), IDCANCEL);
    auto boxes = m_capture.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "text");
    EXPECT_EQ(boxes[0].caption, "caption");
    OutputDebugStringA("hello\n");
    VpDebugPrintf(8, "%s", "0123456789");
    EXPECT_TRUE(m_capture.DebugContains("hello\n"));
    EXPECT_TRUE(m_capture.DebugContains("0123456")) << "cut to the buffer";
    EXPECT_FALSE(m_capture.DebugContains("01234567"));
}

TEST_F(PlatformTest, WorkDirectoryGetsTheShippedConfiguration) {
    std::string module = m_root + "/module";
    ASSERT_EQ(RunCommand("mkdir -p '" + module + "'"), 0);
    WriteFile(module + "/config.cfg", "[Img File]\r\npath = \r\n");
    setenv("VORLANE_MODULE_DIR", module.c_str(), 1);
    char buffer[260];
    ASSERT_EQ(VpWorkDir(buffer, sizeof buffer), 0);
    EXPECT_EQ(std::string(buffer), m_home);
    EXPECT_EQ(ReadFile(m_home + "/config.cfg").size(), 21u);
    EXPECT_FALSE(FileExists(m_home + "/log.ini")) << "nothing shipped, nothing copied";
    WriteFile(m_home + "/config.cfg", "mine");
    ASSERT_EQ(VpWorkDir(buffer, sizeof buffer), 0);
    EXPECT_EQ(ReadFile(m_home + "/config.cfg").size(), 4u) << "an existing file is kept";
    char tiny[8];
    EXPECT_NE(VpWorkPath(tiny, sizeof tiny, "config.cfg"), 0) << "a path that does not fit is an error";
    EXPECT_EQ(tiny[0], '\0');
    setenv("VORLANE_MODULE_DIR", VORLANE_TEST_MODULE_DIR, 1);
}

TEST_F(PlatformTest, VirtualCardsReadWriteWithinTheirSize) {
    MakeVirtualCard('E', 1 << 20);
    MakeVirtualCard('F', 2 << 20);
    WriteFile(m_cards + "/notacard.txt", "x");
    VpCardInfo cards[8];
    ASSERT_EQ(VpDriveList(cards, 8), 2);
    EXPECT_EQ(cards[0].letter, 'E');
    EXPECT_EQ(cards[0].kind, VpCardVirtual);
    EXPECT_EQ(cards[1].sizeBytes, uint64_t(2) << 20);
    uint32_t last = 0;
    ASSERT_EQ(VpCardReadCapacity('F', &last), 0);
    EXPECT_EQ(last, 4095u);

    char error[256] = "";
    VpCard* card = VpCardOpen('E', 1, error, sizeof error);
    ASSERT_NE(card, nullptr) << error;
    std::vector<uint8_t> data = RandomBytes(1000, 1);
    EXPECT_EQ(VpCardWrite(card, 512 * 7, data.data(), data.size()), 0);
    EXPECT_EQ(VpCardWrite(card, (1 << 20) - 512, data.data(), 1024), ENOSPC) << "never grows the card";
    std::vector<uint8_t> back(1000);
    EXPECT_EQ(VpCardRead(card, 512 * 7, back.data(), back.size()), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(VpCardClose(card), 0);
    EXPECT_EQ(ReadFile(m_cards + "/E.card").size(), size_t(1) << 20);

    EXPECT_EQ(VpCardOpen('Q', 1, error, sizeof error), nullptr);
    EXPECT_NE(std::string(error).find("drive Q"), std::string::npos);
}

TEST_F(PlatformTest, ExplicitAssignmentMapsAFile) {
    std::string file = m_root + "/image.bin";
    WriteFile(file, std::vector<uint8_t>(4096, 0));
    char letter = VpDriveAssign(0, file.c_str());
    ASSERT_NE(letter, 0);
    VpCardInfo info;
    ASSERT_EQ(VpDriveLookup(letter, &info), 0);
    EXPECT_EQ(std::string(info.path), file);
    VpDriveUnassign(letter);
    EXPECT_NE(VpDriveLookup(letter, &info), 0);
}

TEST_F(PlatformTest, LoopDeviceIsACardTarget) {
    if (geteuid() != 0 || !HaveTool("losetup")) GTEST_SKIP() << "needs root and losetup";
    std::string backing = m_root + "/loop.img";
    WriteFile(backing, std::vector<uint8_t>(4 << 20, 0));
    std::string device;
    if (RunCommand("losetup --find --show '" + backing + "'", &device) != 0) GTEST_SKIP() << device;
    while (!device.empty() && device.back() == '\n') device.pop_back();
    char letter = VpDriveAssign(0, device.c_str());
    ASSERT_NE(letter, 0);
    uint32_t last = 0;
    EXPECT_EQ(VpCardReadCapacity(letter, &last), 0);
    EXPECT_EQ(last, (4u << 20) / 512 - 1);
    char error[256] = "";
    VpCard* card = VpCardOpen(letter, 1, error, sizeof error);
    ASSERT_NE(card, nullptr) << error;
    std::vector<uint8_t> data = RandomBytes(4096, 7);
    EXPECT_EQ(VpCardWrite(card, 8192, data.data(), data.size()), 0);
    EXPECT_EQ(VpCardClose(card), 0);
    VpDriveUnassign(letter);
    RunCommand("losetup -d " + device);
    std::vector<uint8_t> file = ReadFile(backing);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), file.begin() + 8192));
}

} // namespace

namespace {

TEST_F(PlatformTest, ProfileFilesPatchOnlyTheirKey) {
    std::string path = m_home + "/option.cfg";
    WriteFile(path, "; keep me\r\n[option]\r\nuserdata = 1\r\nFirstPartSize = 2048MB\r\n\r\n[other]\r\nx=1\r\n");
    EXPECT_EQ(GetPrivateProfileIntA("OPTION", "firstpartsize", 0, path.c_str()), 2048);
    EXPECT_EQ(GetPrivateProfileIntA("OPTION", "missing", 7, path.c_str()), 7);
    char text[8];
    EXPECT_EQ(GetPrivateProfileStringA("other", "X", "", text, sizeof text, path.c_str()), 1u);
    EXPECT_STREQ(text, "1");
    ASSERT_TRUE(WritePrivateProfileStringA("OPTION", "FirstPartSize", "1024", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("OPTION", "activeFirstPartSize", "1", path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("new", "k", "v", path.c_str()));
    std::vector<uint8_t> bytes = ReadFile(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              "; keep me\r\n[option]\r\nuserdata = 1\r\nFirstPartSize=1024\r\nactiveFirstPartSize=1\r\n\r\n"
              "[other]\r\nx=1\r\n\r\n[new]\r\nk=v\r\n");
    EXPECT_FALSE(WritePrivateProfileStringA("a", "b", "c", (m_root + "/no/such/dir/x.cfg").c_str()));
}

} // namespace

namespace {

TEST_F(PlatformTest, TheSystemDiskIsNeverAssigned) {
    std::string root;
    RunCommand("findmnt -n -o SOURCE / | head -n1", &root);
    while (!root.empty() && (root.back() == '\n' || root.back() == ' ')) root.pop_back();
    if (root.rfind("/dev/", 0) != 0 || !FileExists(root)) GTEST_SKIP() << "root is not a block device";
    EXPECT_EQ(VpDriveAssign(0, root.c_str()), 0) << root;
}

} // namespace
