// The burn engine's own rules: the drive scan, the records, the end of a run,
// the first-partition check and the loop file.
#include "BurnEngine.h"
#include "TestSupport.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace vorlane::engine {
// Test access to the engine's run state.
struct EngineAccess {
    static void StartRun(BurnEngine& e) {
        std::lock_guard<std::mutex> guard(e.m_state);
        for (DriveRecord& r : e.m_records)
            if (r.checked) r.state = DriveState::Running;
        e.m_runOpen = true;
        e.m_runActive = true;
    }
    static void SetCapacities(BurnEngine& e, const std::vector<int>& mib) {
        std::lock_guard<std::mutex> guard(e.m_state);
        for (size_t i = 0; i < e.m_records.size() && i < mib.size(); ++i)
            e.m_records[i].capacityMB = mib[i];
    }
    static void ReadLoopFile(BurnEngine& e) { e.ReadLoopFile(); }
};
} // namespace vorlane::engine

namespace vorlane::test {
namespace {

using namespace vorlane::engine;

constexpr uint64_t kMiB = 1024 * 1024;

struct Recorder : BurnObserver {
    std::mutex lock;
    std::vector<bool> ends;
    std::vector<std::string> messages;
    std::vector<std::string> statuses;
    void AddMessage(const std::string& line) override {
        std::lock_guard<std::mutex> g(lock);
        messages.push_back(line);
    }
    void RunEnded(bool success) override {
        std::lock_guard<std::mutex> g(lock);
        ends.push_back(success);
    }
    void StatusLine(const std::string& text) override {
        std::lock_guard<std::mutex> g(lock);
        statuses.push_back(text);
    }
};

class EngineTest : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        setenv("XDG_RUNTIME_DIR", m_root.c_str(), 1);
    }
    // An initialised engine over the virtual cards made so far.
    std::unique_ptr<BurnEngine> Engine() {
        auto e = std::make_unique<BurnEngine>(&m_recorder);
        int r = e->Initalize(false);
        EXPECT_EQ(0, r);
        if (r != 0) return nullptr;
        e->RefreshDrive();
        return e;
    }
    static const DriveRecord* Find(const std::vector<DriveRecord>& records, char letter) {
        for (const DriveRecord& r : records)
            if (r.letter == letter) return &r;
        return nullptr;
    }
    Recorder m_recorder;
};

TEST_F(EngineTest, ScanListsEachPhysicalCardOnceWithItsCapacity) {
    std::string e = MakeVirtualCard('E', 0x1000000ull * 512); // last block 0xFFFFFF
    MakeVirtualCard('F', 64 * kMiB);
    MakeVirtualCard('G', 0);                  // no medium
    MakeVirtualCard('H', 1024);               // last block address 1: listed as 0M
    char again = VpDriveAssign(0, e.c_str()); // the same card under a second letter
    ASSERT_NE(0, again);
    auto engine = Engine();
    ASSERT_TRUE(engine);
    std::vector<DriveRecord> records = engine->Drives();
    ASSERT_NE(nullptr, Find(records, 'E'));
    EXPECT_EQ(8191, Find(records, 'E')->capacityMB);
    EXPECT_EQ(63, Find(records, 'F')->capacityMB);
    EXPECT_EQ(nullptr, Find(records, 'G'));
    ASSERT_NE(nullptr, Find(records, 'H'));
    EXPECT_EQ(0, Find(records, 'H')->capacityMB);
    EXPECT_EQ(nullptr, Find(records, again)) << "one card listed twice";
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(static_cast<int>(i), records[i].row);
        EXPECT_EQ(1, records[i].checked);
        EXPECT_EQ(kColourWhite, records[i].colour);
    }
    VpDriveUnassign(again);
}

TEST_F(EngineTest, CheckMarksAndColoursSurviveARescan) {
    MakeVirtualCard('E', 64 * kMiB);
    MakeVirtualCard('F', 64 * kMiB);
    auto engine = Engine();
    ASSERT_TRUE(engine);
    ASSERT_TRUE(engine->SetChecked('F', false));
    EngineAccess::StartRun(*engine);
    EXPECT_EQ(0, engine->MessageCallBackFunc('E', "broken", CardMessageFailed));
    MakeVirtualCard('G', 64 * kMiB); // seen for the first time: checked
    engine->RefreshDrive();
    std::vector<DriveRecord> records = engine->Drives();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ(1, Find(records, 'E')->checked);
    EXPECT_EQ(kColourFailed, Find(records, 'E')->colour) << "a failed drive stays red";
    EXPECT_EQ(0, Find(records, 'F')->checked);
    EXPECT_EQ(1, Find(records, 'G')->checked);
    // Get drive letters: every row white again, states kept.
    engine->ResetColoursAndRescan();
    EXPECT_EQ(kColourWhite, Find(engine->Drives(), 'E')->colour);
    EXPECT_EQ(DriveState::Failed, Find(engine->Drives(), 'E')->state);
}

TEST_F(EngineTest, ExactlyOneCallbackEndsARun) {
    MakeVirtualCard('E', 64 * kMiB);
    MakeVirtualCard('F', 64 * kMiB);
    MakeVirtualCard('G', 64 * kMiB);
    auto engine = Engine();
    ASSERT_TRUE(engine);
    ASSERT_TRUE(engine->SetChecked('G', false));
    EngineAccess::StartRun(*engine);

    EXPECT_EQ(0, engine->MessageCallBackFunc('E', "100%", CardMessageProgress));
    EXPECT_EQ(DriveState::Running, Find(engine->Drives(), 'E')->state) << "100% is not done";
    EXPECT_EQ(100, Find(engine->Drives(), 'E')->progress);
    EXPECT_EQ(kColourRunning, Find(engine->Drives(), 'E')->colour);
    EXPECT_EQ(0, engine->MessageCallBackFunc('E', "hidden", CardMessageText30));
    EXPECT_EQ(0, engine->MessageCallBackFunc('E', "hidden", CardMessageText50));
    EXPECT_EQ(0, engine->MessageCallBackFunc('E', "writing boot0", CardMessageText));
    EXPECT_EQ(0, engine->MessageCallBackFunc('E', "card too small", CardMessageFailed));
    EXPECT_TRUE(m_recorder.ends.empty()) << "F is still running";
    // An unchecked drive or an unknown letter changes nothing.
    EXPECT_EQ(kCallbackUnknownDrive, engine->MessageCallBackFunc('G', "ok", CardMessageDone));
    EXPECT_EQ(kCallbackUnknownDrive, engine->MessageCallBackFunc('Q', "ok", CardMessageDone));
    EXPECT_TRUE(m_recorder.ends.empty());
    // The last drive decides the success of the cycle.
    EXPECT_EQ(0, engine->MessageCallBackFunc('F', "100%", CardMessageDone));
    ASSERT_EQ(1u, m_recorder.ends.size());
    EXPECT_TRUE(m_recorder.ends[0]);
    // Late or repeated results do not end the run a second time.
    EXPECT_EQ(0, engine->MessageCallBackFunc('F', "100%", CardMessageDone));
    EXPECT_EQ(0, engine->MessageCallBackFunc('E', "again", CardMessageFailed));
    EXPECT_EQ(0, engine->MessageCallBackFunc('F', "50%", CardMessageProgress));
    EXPECT_EQ(1u, m_recorder.ends.size());
    EXPECT_EQ(DriveState::Done, Find(engine->Drives(), 'F')->state);
    EXPECT_FALSE(engine->Busy());

    std::vector<std::string> expected = {"E: writing boot0", "E: card too small", "E: again"};
    EXPECT_EQ(expected, m_recorder.messages);
}

TEST_F(EngineTest, ACycleFailsWhenTheLastDriveFails) {
    MakeVirtualCard('E', 64 * kMiB);
    MakeVirtualCard('F', 64 * kMiB);
    auto engine = Engine();
    ASSERT_TRUE(engine);
    EngineAccess::StartRun(*engine);
    engine->MessageCallBackFunc('E', "ok", CardMessageDone);
    engine->MessageCallBackFunc('F', "broken", CardMessageFailed);
    ASSERT_EQ(1u, m_recorder.ends.size());
    EXPECT_FALSE(m_recorder.ends[0]);
    EXPECT_EQ("broken", Find(engine->Drives(), 'F')->failReason);
}

TEST_F(EngineTest, FirstPartitionSizeIsCheckedAgainstEveryDrive) {
    MakeVirtualCard('E', 64 * kMiB);
    auto engine = Engine();
    ASSERT_TRUE(engine);
    std::string option = HomePath("option.cfg");
    WritePrivateProfileStringA("OPTION", "activeFirstPartSize", "1", option.c_str());
    WritePrivateProfileStringA("OPTION", "FirstPartSize", "2048", option.c_str());
    EXPECT_EQ(1, engine->IsControlActive());
    struct Case {
        int capacityMB;
        bool refused;
    };
    for (const Case& c : {Case{3000, true}, Case{3072, true}, Case{3073, false}, Case{3100, false},
                          Case{900, true}}) {
        EngineAccess::SetCapacities(*engine, {c.capacityMB});
        EXPECT_EQ(c.refused ? 'E' : 0, engine->CheckFirstPartSize()) << c.capacityMB;
    }
    // Burn refuses with text 33 naming the drive; nothing starts.
    engine->SetImagePath(m_root + "/any.img");
    EngineAccess::SetCapacities(*engine, {3000});
    m_capture.Clear();
    EXPECT_EQ(kCmdFirstPartTooLarge, engine->Burn());
    ASSERT_EQ(1u, m_capture.Boxes().size());
    EXPECT_NE(std::string::npos, m_capture.Boxes()[0].text.find('E')) << m_capture.Boxes()[0].text;
    EXPECT_FALSE(engine->Busy());
    // Off: no check at all.
    WritePrivateProfileStringA("OPTION", "activeFirstPartSize", "0", option.c_str());
    EXPECT_EQ(0, engine->IsControlActive());
}

TEST_F(EngineTest, LoopFileFirstLineGivesTheCycles) {
    MakeVirtualCard('E', 64 * kMiB);
    auto engine = Engine();
    ASSERT_TRUE(engine);
    struct Case {
        const char* text;
        bool active;
        int cycles;
    };
    const Case cases[] = {{"3\n", true, 3},       {"12 cycles\n", true, 12},
                          {"garbage\n", true, 0}, {"-5\n", true, 0},
                          {"", true, 0},          {"99999999999999999999\n", true, 1000000},
                          {nullptr, false, 0}};
    for (const Case& c : cases) {
        unlink(HomePath("loop.txt").c_str());
        if (c.text) WriteFile(HomePath("loop.txt"), std::string(c.text));
        EngineAccess::ReadLoopFile(*engine);
        LoopState s = engine->Loop();
        EXPECT_EQ(c.active, s.active) << (c.text ? c.text : "(none)");
        if (c.active) {
            EXPECT_EQ(c.cycles, s.total) << c.text;
            EXPECT_EQ(c.cycles, s.left) << c.text;
        }
    }
}

TEST_F(EngineTest, BurnWithoutImageShowsText24) {
    MakeVirtualCard('E', 64 * kMiB);
    auto engine = Engine();
    ASSERT_TRUE(engine);
    m_capture.Clear();
    EXPECT_EQ(kCmdNoImage, engine->Burn());
    ASSERT_EQ(1u, m_capture.Boxes().size());
    EXPECT_EQ(engine->GetText(24), m_capture.Boxes()[0].text);
    EXPECT_FALSE(engine->GetText(24).empty());
}

// A whole run through the engine (preparation, one thread per card, the
// callbacks) over a stand-in library whose cards end in every possible way:
// every card gets exactly one result and the run ends exactly once.
TEST_F(EngineTest, EveryCardEndsWithOneResultEvenWhenTheLibraryGivesNone) {
    const std::string real =
        std::getenv("VORLANE_MODULE_DIR") ? std::getenv("VORLANE_MODULE_DIR") : "";
    if (dlopen((real + "/VorlaneCardFun.so").c_str(), RTLD_NOW | RTLD_NOLOAD))
        GTEST_SKIP() << "the real library is loaded in this process (ctest runs each test alone)";
    const std::string modules = m_root + "/modules";
    ASSERT_EQ(0, mkdir(modules.c_str(), 0755));
    DIR* dir = opendir(real.c_str());
    ASSERT_NE(nullptr, dir);
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name[0] == '.' || name == "VorlaneCardFun.so") continue;
        ASSERT_EQ(0, symlink((real + "/" + name).c_str(), (modules + "/" + name).c_str()));
    }
    closedir(dir);
    ASSERT_EQ(0, symlink(ENGINE_FAKE_CARDFUN, (modules + "/VorlaneCardFun.so").c_str()));
    setenv("VORLANE_MODULE_DIR", modules.c_str(), 1);
    for (char letter : {'E', 'F', 'G', 'H'})
        MakeVirtualCard(letter, 64 * kMiB);

    auto engine = Engine();
    ASSERT_TRUE(engine);
    ASSERT_EQ(0, engine->SetImagePath(m_root + "/any.img"));
    engine->SetKind(CardKind::Product);
    ASSERT_EQ(0, engine->Burn());
    ASSERT_TRUE(engine->WaitIdle(120000));
    setenv("VORLANE_MODULE_DIR", real.c_str(), 1);

    std::vector<DriveRecord> records = engine->Drives();
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ(DriveState::Failed, Find(records, 'E')->state)
        << "done, then its partition table failed";
    EXPECT_NE(std::string::npos, Find(records, 'E')->failReason.find("partition table"));
    EXPECT_EQ(kColourFailed, Find(records, 'E')->colour);
    EXPECT_EQ(DriveState::Failed, Find(records, 'F')->state) << "no result at all";
    EXPECT_NE(std::string::npos, Find(records, 'F')->failReason.find("without a result"));
    EXPECT_EQ(DriveState::Done, Find(records, 'G')->state);
    EXPECT_EQ(kColourDone, Find(records, 'G')->colour);
    EXPECT_EQ(DriveState::Failed, Find(records, 'H')->state);
    EXPECT_EQ("the card is too small", Find(records, 'H')->failReason);
    EXPECT_EQ(1u, m_recorder.ends.size());
    EXPECT_FALSE(engine->Busy());
    EXPECT_TRUE(engine->CanClose());
}

} // namespace
} // namespace vorlane::test
