// The main window on virtual cards: start-up, the drive list and its enabling
// rules, hot-plug, the single-instance rule, and burn and restore runs
// through the buttons.
#include "GuiTestSupport.h"
#include "TestSupport.h"
#include "VorlaneCardDlg.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace vorlane::test {
namespace {

using engine::DriveRecord;
using gui::CVorlaneCardDlg;

constexpr uint64_t kMiB = 1024 * 1024;

class WindowTest : public VorlaneTest {
  protected:
    void SetUp() override {
        VorlaneTest::SetUp();
        setenv("XDG_RUNTIME_DIR", m_root.c_str(), 1); // a private single-instance marker
        ASSERT_EQ(0, chdir(m_home.c_str()));
        m_bin = ModulePath("");
    }
    void TearDown() override {
        if (m_dlg) {
            WaitFor([&] { return !m_dlg->Engine().Busy(); }, 120000);
            m_dlg.reset();
        }
        VorlaneTest::TearDown();
    }
    // Opens the window and waits for its first scan.
    CVorlaneCardDlg& Open() {
        m_dlg = std::make_unique<CVorlaneCardDlg>();
        QObject::connect(m_dlg.get(), &CVorlaneCardDlg::ScanDone, [this] { ++m_scans; });
        QObject::connect(m_dlg.get(), &CVorlaneCardDlg::RunFinished,
                         [this](bool ok) { m_runs.push_back(ok); });
        EXPECT_EQ(0, m_dlg->Initalize());
        m_dlg->show();
        EXPECT_TRUE(WaitFor([&] { return m_scans >= 1; }));
        return *m_dlg;
    }
    bool Enabled(int id) { return m_dlg->Control(id)->isEnabled(); }
    void Click(int id) {
        QTest::mouseClick(m_dlg->Control(id), Qt::LeftButton);
        QApplication::processEvents();
    }
    void ClickCheckBox(int row) {
        auto* list = m_dlg->DriveList();
        QRect r = list->visualRect(list->Model()->index(row, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
        QApplication::processEvents();
    }
    std::vector<std::string> Messages() {
        std::vector<std::string> lines;
        auto* list = m_dlg->MessageList();
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            lines.push_back(list->topLevelItem(i)->text(0).toStdString());
        return lines;
    }
    std::string Config(const char* key) {
        char value[1024];
        GetPrivateProfileStringA("Img File", key, "<missing>", value, sizeof value,
                                 HomePath("config.cfg").c_str());
        return value;
    }
    std::string Text(int id) { return m_dlg->Engine().GetText(id); }
    uint32_t RowColour(int row) { return m_dlg->DriveList()->Cell(row, 1)->background; }
    std::string Sample() {
        std::string path = m_root + "/sample.img", out;
        EXPECT_EQ(0, RunCommand("'" + m_bin + "/vorlane-img' sample -o '" + path + "'", &out))
            << out;
        return path;
    }
    void SelectImage(const std::string& path, int expected) {
        int result = -1;
        auto c = QObject::connect(m_dlg.get(), &CVorlaneCardDlg::ImageChecked,
                                  [&](int r) { result = r; });
        m_dlg->SelectImage(QString::fromStdString(path));
        ASSERT_TRUE(WaitFor([&] { return result != -1; }, 60000));
        QObject::disconnect(c);
        if (expected == 0)
            EXPECT_EQ(0, result);
        else
            EXPECT_NE(0, result);
    }
    bool WaitRuns(size_t n) {
        return WaitFor([&] { return m_runs.size() >= n; }, 240000);
    }

    std::string m_bin;
    std::unique_ptr<CVorlaneCardDlg> m_dlg;
    int m_scans = 0;
    std::vector<bool> m_runs;
};

const int kCommands[] = {1005, 1010, 1013, 1014, 1006, 1007};

TEST_F(WindowTest, StartUpWithoutCardsOrStoredImage) {
    Open();
    EXPECT_EQ("VorlaneCard", m_dlg->windowTitle().toStdString());
    EXPECT_EQ(Text(5), qobject_cast<QAbstractButton*>(m_dlg->Control(1005))->text().toStdString());
    EXPECT_EQ(Text(11),
              m_dlg->DriveList()->model()->headerData(3, Qt::Horizontal).toString().toStdString());
    EXPECT_EQ("", m_dlg->findChild<QLineEdit*>("1001")->text().toStdString());
    EXPECT_EQ("", Config("path")); // the section is created with an empty path
    EXPECT_EQ(0, m_dlg->DriveList()->GetItemCount());
    EXPECT_EQ(std::vector<std::string>{Text(21)}, Messages());
    for (int id : kCommands)
        EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_TRUE(Enabled(1000));
    EXPECT_TRUE(Enabled(1019));
    EXPECT_FALSE(Enabled(1008));
    EXPECT_FALSE(m_dlg->Control(1012)->isVisible());
    EXPECT_TRUE(qobject_cast<QRadioButton*>(m_dlg->Control(1006))->isChecked());
    // Escape is swallowed.
    QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_TRUE(m_dlg->isVisible());
}

TEST_F(WindowTest, StoredImageIsRestoredOrCleared) {
    std::string good = Sample();
    std::string garbage = m_root + "/garbage.img";
    WriteFile(garbage, RandomBytes(70000, 5));
    struct Case {
        std::string stored;
        std::string shown; // edit 1001
        std::string kept;  // "path" in config.cfg afterwards
    };
    const Case cases[] = {
        {m_root + "/deleted.img", "", ""},
        {garbage, garbage, ""},
        {good, good, good},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        // The shipped configuration with the stored image.
        WriteFile(HomePath("config.cfg"), ReadFile(ModulePath("config.cfg")));
        WritePrivateProfileStringA("Img File", "path", c.stored.c_str(),
                                   HomePath("config.cfg").c_str());
        m_scans = 0;
        Open();
        EXPECT_EQ(c.shown, m_dlg->findChild<QLineEdit*>("1001")->text().toStdString());
        EXPECT_EQ(c.kept, Config("path"));
        m_dlg.reset();
    }
}

TEST_F(WindowTest, CheckBoxClicksFollowTheEnablingRules) {
    MakeVirtualCard('E', 256 * kMiB);
    Open();
    auto* list = m_dlg->DriveList();
    ASSERT_EQ(1, list->GetItemCount());
    EXPECT_EQ("1", list->GetItemText(0, 0).toStdString());
    EXPECT_EQ("E  E.card", list->GetItemText(0, 1).toStdString());
    EXPECT_EQ("255M", list->GetItemText(0, 2).toStdString()); // last block address >> 11
    EXPECT_EQ(1, list->GetCheckbox(0));
    EXPECT_EQ(Text(22) + "E ", Messages().back());
    for (int id : kCommands)
        EXPECT_TRUE(Enabled(id)) << id;

    ClickCheckBox(0); // off: only the image and rescan buttons stay
    WaitFor([&] { return !Enabled(1005); }, 2000);
    EXPECT_EQ(0, list->GetCheckbox(0));
    EXPECT_EQ(0, m_dlg->Engine().Drives().at(0).checked);
    for (int id : kCommands)
        EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_TRUE(Enabled(1000));
    EXPECT_TRUE(Enabled(1019));

    ClickCheckBox(0); // on again, but no image is chosen: still disabled
    QTest::qWait(100);
    EXPECT_EQ(1, m_dlg->Engine().Drives().at(0).checked);
    EXPECT_FALSE(Enabled(1005));

    ClickCheckBox(0);
    QTest::qWait(100);
    Click(1019); // an unchecked drive stays unchecked across a rescan
    ASSERT_TRUE(WaitFor([&] { return m_scans >= 2; }));
    ASSERT_EQ(1, list->GetItemCount());
    EXPECT_EQ(0, list->GetCheckbox(0));
    EXPECT_FALSE(Enabled(1010));
}

TEST_F(WindowTest, CardsAddedAndRemovedWhileTheWindowIsOpen) {
    std::string e = MakeVirtualCard('E', 256 * kMiB);
    Open();
    auto* list = m_dlg->DriveList();
    ASSERT_EQ(1, list->GetItemCount());
    MakeVirtualCard('G', 300 * kMiB);
    ASSERT_TRUE(WaitFor([&] { return list->GetItemCount() == 2; }));
    EXPECT_EQ("299M", list->GetItemText(1, 2).toStdString());
    ASSERT_EQ(0, std::remove(e.c_str()));
    ASSERT_TRUE(WaitFor([&] { return list->GetItemCount() == 1; }));
    EXPECT_EQ('G', list->GetItemText(0, 1).toStdString()[0]);
    EXPECT_EQ("1", list->GetItemText(0, 0).toStdString());
    ASSERT_EQ(0, std::remove((m_cards + "/G.card").c_str()));
    ASSERT_TRUE(WaitFor([&] { return list->GetItemCount() == 0; }));
    EXPECT_FALSE(Enabled(1010));
}

TEST_F(WindowTest, ADirectoryOfThirtyCardFiles) {
    // Every letter D-Z, and files that name no drive.
    for (char l = 'D'; l <= 'Z'; ++l)
        MakeVirtualCard(l, 8 * kMiB);
    for (const char* name : {"A.card", "AB.card", "1.card", "e.txt", ".card", "x", "Q.card.bak"})
        WriteFile(m_cards + "/" + name, "x");
    Open();
    EXPECT_EQ(23, m_dlg->DriveList()->GetItemCount());
    EXPECT_EQ("23", m_dlg->DriveList()->GetItemText(22, 0).toStdString());
}

TEST_F(WindowTest, ASecondInstanceEndsWithItsMessage) {
    Open();
    CVorlaneCardDlg second;
    EXPECT_EQ(engine::kInitAlreadyRunning, second.Initalize());
    auto boxes = m_capture.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("The VorlaneCard Application has been runing.", boxes[0].text);
    EXPECT_FALSE(second.isVisible());
}

TEST_F(WindowTest, TheProgramEndsQuietlyWithoutItsComponents) {
    std::string empty = MakeTempDir("gui-empty");
    std::string out;
    int rc = RunCommand("cp '" + m_bin + "/vorlanecard' '" + empty +
                            "/' && QT_QPA_PLATFORM=offscreen VORLANE_DEBUG=1 "
                            "XDG_RUNTIME_DIR='" +
                            m_root + "' VORLANE_MODULE_DIR='" + empty + "' timeout 60 '" + empty +
                            "/vorlanecard' 2>&1",
                        &out);
    EXPECT_EQ(0, rc) << out;
    EXPECT_NE(std::string::npos, out.find("LoadPluginCenter Error")) << out;
    RemoveTree(empty);
}

TEST_F(WindowTest, BurnAndCommandChecks) {
    MakeVirtualCard('E', 256 * kMiB);
    Open();
    Click(1005); // no image
    ASSERT_EQ(1u, m_capture.Boxes().size());
    EXPECT_EQ(Text(24), m_capture.Boxes()[0].text);
    EXPECT_FALSE(m_dlg->Engine().Busy());

    std::string garbage = m_root + "/corrupt.img";
    WriteFile(garbage, RandomBytes(4096, 9));
    SelectImage(garbage, 1);
    EXPECT_EQ("", m_dlg->findChild<QLineEdit*>("1001")->text().toStdString());
    EXPECT_FALSE(Enabled(1005));
    EXPECT_TRUE(Enabled(1010));

    // The first partition must leave 1024 MiB of the card.
    WriteFile(HomePath("option.cfg"), "[OPTION]\nactiveFirstPartSize = 1\nFirstPartSize = 100\n");
    SelectImage(Sample(), 0);
    m_capture.Clear();
    Click(1005);
    ASSERT_EQ(1u, m_capture.Boxes().size());
    EXPECT_NE(std::string::npos, m_capture.Boxes()[0].text.find('E')) << m_capture.Boxes()[0].text;
    EXPECT_FALSE(m_dlg->Engine().Busy());
}

TEST_F(WindowTest, TimeRecordIsSixteenBytes) {
    Open();
    m_dlg->OnBnClickedBtnUpdate();
    std::vector<uint8_t> b = ReadFile(HomePath("timstamp.tmm"));
    ASSERT_EQ(16u, b.size());
    int year = b[0] | (b[1] << 8), month = b[2] | (b[3] << 8), weekday = b[4] | (b[5] << 8);
    QDate today = QDate::currentDate();
    EXPECT_EQ(today.year(), year);
    EXPECT_EQ(today.month(), month);
    EXPECT_EQ(today.dayOfWeek() % 7, weekday);
    EXPECT_EQ(0, b[14] | (b[15] << 8));
}

// Both runs through the buttons: a product burn with a good and a too-small
// card, then a restore of both.
TEST_F(WindowTest, BurnOneGreenOneRedThenRestore) {
    std::string e = MakeVirtualCard('E', 1024 * kMiB);
    MakeVirtualCard('F', 64 * kMiB); // too small for the image
    Open();
    SelectImage(Sample(), 0);
    ASSERT_TRUE(Enabled(1005));
    Click(1005);
    EXPECT_TRUE(m_dlg->Engine().Busy());
    EXPECT_TRUE(WaitFor([&] { return !Enabled(1005); }, 10000));
    m_dlg->OnSetting(); // refused while the run is prepared
    ASSERT_FALSE(m_capture.Boxes().empty());
    EXPECT_EQ(Text(35), m_capture.Boxes().back().text);
    // Close is refused while burn threads run.
    if (WaitFor([&] { return !m_dlg->Engine().CanClose() || !m_runs.empty(); }, 60000) &&
        !m_dlg->Engine().CanClose()) {
        EXPECT_FALSE(m_dlg->TryClose());
        EXPECT_EQ(Text(15), m_capture.Boxes().back().text);
        EXPECT_TRUE(m_dlg->isVisible());
    }
    ASSERT_TRUE(WaitRuns(1));
    QTest::qWait(300); // no second end of the run arrives
    EXPECT_EQ(1u, m_runs.size());
    ASSERT_TRUE(WaitFor([&] { return !m_dlg->Engine().Busy(); }, 60000));
    auto* list = m_dlg->DriveList();
    ASSERT_EQ(2, list->GetItemCount());
    EXPECT_EQ(0x00FF00u, RowColour(0));
    EXPECT_EQ(100, list->Cell(0, 3)->percent);
    EXPECT_EQ(0x0000FFu, RowColour(1));
    bool failLine = false;
    for (const std::string& line : Messages())
        failLine = failLine || line.rfind("F: ", 0) == 0;
    EXPECT_TRUE(failLine);
    for (int id : kCommands)
        EXPECT_TRUE(Enabled(id)) << id;
    EXPECT_TRUE(list->isEnabled());

    Click(1010);
    ASSERT_TRUE(WaitRuns(2));
    ASSERT_TRUE(WaitFor([&] { return !m_dlg->Engine().Busy(); }, 60000));
    EXPECT_TRUE(m_runs[1]);
    EXPECT_EQ(0x00FF00u, RowColour(0));
    EXPECT_EQ(0x00FF00u, RowColour(1));
    if (HaveTool("sfdisk")) {
        std::string out;
        ASSERT_EQ(0, RunCommand("sfdisk --dump '" + e + "'", &out)) << out;
        EXPECT_NE(std::string::npos, out.find("start=        2048")) << out;
        EXPECT_NE(std::string::npos, out.find("type=7")) << out;
    }
}

} // namespace
} // namespace vorlane::test

namespace vorlane::test {
namespace {

// Loop test through the window: restore cycles, the status line, Stop.
TEST_F(WindowTest, LoopTestCountsCyclesAndStopEndsIt) {
    MakeVirtualCard('E', 64 * kMiB);
    Open();
    m_dlg->Engine().SetLoopPause(50);
    auto* status = m_dlg->findChild<QLabel*>("1016");

    WriteFile(HomePath("loop.txt"), "2\n");
    Click(1010);
    ASSERT_TRUE(WaitFor([&] { return m_dlg->Control(1012)->isVisible(); }, 10000));
    ASSERT_TRUE(WaitRuns(2));
    ASSERT_TRUE(WaitFor([&] { return !m_dlg->Engine().Busy(); }, 60000));
    EXPECT_EQ("Loop Test (2/2) success(2)", status->text().toStdString());
    EXPECT_FALSE(m_dlg->Control(1012)->isVisible());

    WriteFile(HomePath("loop.txt"), "3\n");
    Click(1010);
    ASSERT_TRUE(WaitFor([&] { return m_dlg->Control(1012)->isVisible(); }, 10000));
    Click(1012); // the current cycle finishes, no further one starts
    EXPECT_FALSE(m_dlg->Control(1012)->isVisible());
    ASSERT_TRUE(WaitRuns(3));
    ASSERT_TRUE(WaitFor([&] { return !m_dlg->Engine().Busy(); }, 60000));
    QTest::qWait(300);
    EXPECT_EQ(3u, m_runs.size());
    // Stopped before the first cycle ended: the line keeps its text from the start.
    EXPECT_EQ("", status->text().toStdString());
    EXPECT_TRUE(Enabled(1010));
}

} // namespace
} // namespace vorlane::test

namespace vorlane::test {
namespace {

const int kAllCommands[] = {1000, 1005, 1019, 1006, 1007, 1010, 1013, 1014};

// Two cards burned through the buttons, first as product cards, then as
// startup cards: both rows green after each run, the per-card message lines
// in order, and the commands locked while the cards are written.
TEST_F(WindowTest, TwoCardsBurnedAsProductThenStartupCards) {
    MakeVirtualCard('E', 1024 * kMiB);
    MakeVirtualCard('F', 1024 * kMiB);
    Open();
    SelectImage(Sample(), 0);
    auto* list = m_dlg->DriveList();
    ASSERT_EQ(2, list->GetItemCount());

    struct Run {
        int radio;
        engine::CardKind kind;
    };
    const Run runs[] = {{1006, engine::CardKind::Product}, {1007, engine::CardKind::Startup}};
    for (const Run& run : runs) {
        SCOPED_TRACE(run.radio);
        Click(run.radio);
        ASSERT_TRUE(qobject_cast<QRadioButton*>(m_dlg->Control(run.radio))->isChecked());
        size_t before = m_runs.size();
        Click(1005);
        // A row in the running colour means cards are being written: then
        // every command and the list are locked. A run may be over before
        // such a row is seen; the check is then skipped.
        bool sawRunning = false;
        std::set<int> enabledWhileRunning;
        ASSERT_TRUE(WaitFor(
            [&] {
                if (m_runs.size() > before) return true;
                bool running = false;
                for (int row = 0; row < list->GetItemCount(); ++row)
                    running = running || RowColour(row) == engine::kColourRunning;
                if (running) {
                    sawRunning = true;
                    for (int id : kAllCommands)
                        if (Enabled(id)) enabledWhileRunning.insert(id);
                    if (list->isEnabled()) enabledWhileRunning.insert(1004);
                }
                return false;
            },
            240000));
        EXPECT_TRUE(enabledWhileRunning.empty()) << ::testing::PrintToString(enabledWhileRunning);
        if (!sawRunning) std::printf("[ INFO ] the run ended before a running row was seen\n");
        ASSERT_TRUE(WaitFor([&] { return !m_dlg->Engine().Busy(); }, 60000));
        QApplication::processEvents();
        ASSERT_EQ(before + 1, m_runs.size());
        EXPECT_TRUE(m_runs.back());
        EXPECT_EQ(run.kind, m_dlg->Engine().Kind());

        ASSERT_EQ(2, list->GetItemCount());
        for (int row = 0; row < 2; ++row) {
            for (int column = 1; column <= 3; ++column)
                EXPECT_EQ(engine::kColourDone, list->Cell(row, column)->background)
                    << row << "/" << column;
            EXPECT_EQ(100, list->Cell(row, 3)->percent) << row;
        }
        for (int id : kAllCommands)
            EXPECT_TRUE(Enabled(id)) << "after the run: " << id;
        EXPECT_TRUE(list->isEnabled());

        // The message list was cleared at the start of the run; each card's
        // lines open with the start and end with the end of its burn, and
        // progress and the final "100%" leave no line.
        std::vector<std::string> lines = Messages();
        for (char letter : {'E', 'F'}) {
            SCOPED_TRACE(letter);
            std::string prefix = std::string(1, letter) + ": ";
            std::vector<std::string> own;
            for (const std::string& line : lines)
                if (line.rfind(prefix, 0) == 0) own.push_back(line.substr(prefix.size()));
            ASSERT_GE(own.size(), 2u) << ::testing::PrintToString(lines);
            auto start = std::find(own.begin(), own.end(), "Start Burning...");
            auto end = std::find(own.begin(), own.end(), "Burn End...");
            ASSERT_NE(own.end(), start) << ::testing::PrintToString(lines);
            ASSERT_NE(own.end(), end) << ::testing::PrintToString(lines);
            EXPECT_LT(start - own.begin(), end - own.begin());
            for (const std::string& text : own)
                EXPECT_TRUE(text.empty() || text.back() != '%') << text;
        }
    }

    // Codes 30 and 50 stay out of the message list; code 40 and the failure
    // code 60 are shown as "%c: %s" (the finished row keeps its colour).
    struct Event {
        int code;
        const char* text;
        bool shown;
    };
    const Event events[] = {{30, "code thirty", false},
                            {50, "code fifty", false},
                            {40, "code forty", true},
                            {60, "code sixty", true}};
    for (const Event& event : events)
        m_dlg->Engine().MessageCallBackFunc('F', event.text, event.code);
    auto has = [](const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    WaitFor([&] { return has(Messages(), "F: code sixty"); }, 10000);
    std::vector<std::string> lines = Messages();
    for (const Event& event : events)
        EXPECT_EQ(event.shown, has(lines, std::string("F: ") + event.text)) << event.code;
    EXPECT_EQ(engine::kColourDone, RowColour(1));
}

// A loop test of three burn cycles: the status line after each cycle, the
// card kind alternating product -> startup -> product, Stop hidden at the end.
TEST_F(WindowTest, LoopTestOfThreeBurnCyclesAlternatesTheKind) {
    MakeVirtualCard('E', 1024 * kMiB);
    Open();
    SelectImage(Sample(), 0);
    m_dlg->Engine().SetLoopPause(50);
    auto* status = m_dlg->findChild<QLabel*>("1016");
    auto* product = qobject_cast<QRadioButton*>(m_dlg->Control(1006));
    auto* startup = qobject_cast<QRadioButton*>(m_dlg->Control(1007));
    ASSERT_TRUE(product->isChecked());

    // What the window shows when each cycle has ended: the status line, the
    // kind radio, and the kind the engine burned with (its next-kind mark:
    // -1 after a product cycle, 0 after a startup cycle).
    struct Seen {
        std::string status;
        bool product;
        bool startup;
        int nextKind;
    };
    std::vector<Seen> seen;
    QObject receiver; // ends the connection with the test's locals
    QObject::connect(m_dlg.get(), &CVorlaneCardDlg::RunFinished, &receiver, [&](bool) {
        seen.push_back({status->text().toStdString(), product->isChecked(), startup->isChecked(),
                        m_dlg->Engine().Loop().nextKind});
    });

    WriteFile(HomePath("loop.txt"), "3");
    Click(1005);
    ASSERT_TRUE(
        WaitFor([&] { return m_dlg->Control(1012)->isVisible() || !m_runs.empty(); }, 10000));
    ASSERT_TRUE(WaitRuns(3));
    ASSERT_TRUE(WaitFor([&] { return !m_dlg->Engine().Busy(); }, 60000));
    QTest::qWait(300); // no fourth cycle starts
    EXPECT_EQ(3u, m_runs.size());
    ASSERT_EQ(3u, seen.size());
    const Seen expected[] = {{"Loop Test (1/3) success(1)", true, false, -1},
                             {"Loop Test (2/3) success(2)", false, true, 0},
                             {"Loop Test (3/3) success(3)", true, false, -1}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_TRUE(m_runs[i]);
        EXPECT_EQ(expected[i].status, seen[i].status);
        EXPECT_EQ(expected[i].product, seen[i].product);
        EXPECT_EQ(expected[i].startup, seen[i].startup);
        EXPECT_EQ(expected[i].nextKind, seen[i].nextKind);
    }
    EXPECT_EQ("Loop Test (3/3) success(3)", status->text().toStdString());
    EXPECT_FALSE(m_dlg->Control(1012)->isVisible());
    EXPECT_EQ(engine::kColourDone, RowColour(0));
    for (int id : kAllCommands)
        EXPECT_TRUE(Enabled(id)) << id;
}

} // namespace
} // namespace vorlane::test
