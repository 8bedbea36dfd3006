// Takes the documentation's screenshots of the main window on virtual cards:
//   VORLANE_SCREENSHOT_DIR=docs xvfb-run build/tests/gui_screenshots
// main-window.png (three cards, one unchecked), burning.png (mid-burn),
// finished.png (one green and one red row).
#include "GuiTestSupport.h"
#include "TestSupport.h"
#include "VorlaneCardDlg.h"

#include <QApplication>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using vorlane::gui::CVorlaneCardDlg;
using vorlane::test::WaitFor;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const char* outDir = std::getenv("VORLANE_SCREENSHOT_DIR");
    std::string out = outDir ? outDir : ".";
    char tmpl[] = "/tmp/vorlane-shots-XXXXXX";
    std::string root = mkdtemp(tmpl);
    std::string home = root + "/home", cards = root + "/cards";
    mkdir(home.c_str(), 0755);
    mkdir(cards.c_str(), 0755);
    setenv("VORLANE_HOME", home.c_str(), 1);
    setenv("VORLANE_CARDS_DIR", cards.c_str(), 1);
    setenv("VORLANE_CARDS_ONLY", "1", 1);
    setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    setenv("VORLANE_MODULE_DIR", VORLANE_BIN_DIR, 1);
    VpEnterWorkDir();
    auto card = [&](char letter, uint64_t mib) {
        std::string p = cards + "/" + letter + ".card";
        FILE* f = std::fopen(p.c_str(), "wb");
        if (f) {
            ftruncate(fileno(f), static_cast<off_t>(mib * 1024 * 1024));
            std::fclose(f);
        }
    };
    std::string image = root + "/sample.img";
    std::string cmd =
        std::string("'") + VORLANE_BIN_DIR + "/vorlane-img' sample -o '" + image + "' >/dev/null";
    if (std::system(cmd.c_str()) != 0) return 1;
    card('E', 1024);
    card('F', 64);
    card('G', 2048);
    std::string rc = "[OPTION]\n";
    (void)rc;

    CVorlaneCardDlg dlg;
    if (dlg.Initalize() != 0) return 1;
    int scans = 0;
    std::vector<bool> runs;
    QObject::connect(&dlg, &CVorlaneCardDlg::ScanDone, [&] { ++scans; });
    QObject::connect(&dlg, &CVorlaneCardDlg::RunFinished, [&](bool ok) { runs.push_back(ok); });
    dlg.resize(900, 640);
    dlg.show();
    WaitFor([&] { return scans >= 1; });
    int imageResult = -1;
    QObject::connect(&dlg, &CVorlaneCardDlg::ImageChecked, [&](int r) { imageResult = r; });
    dlg.SelectImage(QString::fromStdString(image));
    WaitFor([&] { return imageResult != -1; }, 60000);
    dlg.Engine().SetChecked('G', false);
    WaitFor([] { return false; }, 300);
    dlg.grab().save(QString::fromStdString(out + "/main-window.png"));

    dlg.OnBnClickedBtnBurn();
    auto* list = dlg.DriveList();
    WaitFor([&] { return list->Cell(0, 3) && list->Cell(0, 3)->percent >= 30; }, 120000);
    dlg.grab().save(QString::fromStdString(out + "/burning.png"));
    WaitFor([&] { return !runs.empty(); }, 240000);
    WaitFor([&] { return !dlg.Engine().Busy(); }, 60000);
    WaitFor([] { return false; }, 300);
    dlg.grab().save(QString::fromStdString(out + "/finished.png"));
    return 0;
}
