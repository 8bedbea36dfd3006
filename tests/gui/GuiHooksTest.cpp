// The GUI's platform hooks: message boxes of worker threads shown on the GUI
// thread, platform windows served there, texts decoded for display.
#include "GuiPlatform.h"
#include "GuiTestSupport.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QStringDecoder>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vorlane::gui {
namespace {

using vorlane::test::WaitFor;

TEST(GuiHooksTest, WorkerMessageBoxIsShownOnTheGuiThreadWhileTheWorkerWaits) {
    InstallMessageBoxHandler();
    std::atomic<int> answer{0};
    std::string text;
    int icon = -1, answerWhileShown = -1;
    // The box runs its own event loop on the GUI thread: a timer inside it
    // answers the box.
    QTimer answerer;
    answerer.setInterval(20);
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        answerer.stop();
        answerWhileShown = answer.load();
        text = box->text().toStdString();
        icon = box->icon();
        box->button(QMessageBox::Cancel)->click();
    });
    answerer.start();
    std::thread worker([&] {
        answer = MessageBoxA(nullptr, "question", "VorlaneCard", MB_OKCANCEL | MB_ICONEXCLAMATION);
    });
    bool answered = WaitFor([&] { return answer.load() != 0; }, 20000);
    if (!answered) {
        // Unblock the worker before failing.
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->button(QMessageBox::Cancel)->click();
        WaitFor([&] { return answer.load() != 0; }, 5000);
    }
    worker.join();
    VpSetMessageBoxHandler(nullptr, nullptr);
    ASSERT_TRUE(answered);
    EXPECT_EQ(0, answerWhileShown); // the worker waited for the answer
    EXPECT_EQ("question", text);
    EXPECT_EQ(QMessageBox::Warning, icon);
    EXPECT_EQ(IDCANCEL, answer.load());
}

TEST(GuiHooksTest, WindowProcedureRunsOnTheGuiThread) {
    struct Seen {
        std::atomic<int> calls{0};
        std::atomic<bool> onGui{true};
    } seen;
    HWND window = VpCreateWindow(
        [](HWND, unsigned, WPARAM, LPARAM, void* context) -> LRESULT {
            auto* s = static_cast<Seen*>(context);
            s->onGui = s->onGui && QThread::currentThread() == qApp->thread();
            ++s->calls;
            return 7;
        },
        &seen);
    MarshalWindowToGui(window);
    EXPECT_EQ(7, SendMessageA(window, 2024, 0, 0)); // from the GUI thread: direct
    std::atomic<LRESULT> sent{0};
    std::thread worker([&] {
        sent = SendMessageA(window, 2024, 0, 0);
        PostMessageA(window, 0x592, 0, 0);
    });
    ASSERT_TRUE(WaitFor([&] { return seen.calls.load() == 3; }, 10000));
    worker.join();
    EXPECT_EQ(7, sent.load());
    EXPECT_TRUE(seen.onGui.load());
    VpDestroyWindow(window);
}

TEST(GuiHooksTest, TextsThatAreNotUtf8AreShownAsGbk) {
    EXPECT_EQ(QStringLiteral("烧卡"), FromSystemText("烧卡"));
    QString gbk = FromSystemText(std::string("\xC9\xD5\xBF\xA8")); // "烧卡" in GBK
    if (QStringDecoder("GBK").isValid())
        EXPECT_EQ(QStringLiteral("烧卡"), gbk);
    else
        EXPECT_EQ(QString::fromLatin1("\xC9\xD5\xBF\xA8"), gbk);
    EXPECT_EQ("a %s b", FillString("a %%s b", "x"));
    EXPECT_EQ("file /w/p.so missing %d", FillString("file %s missing %d", "/w/p.so"));
}

} // namespace
} // namespace vorlane::gui
