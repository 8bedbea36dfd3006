// vorlanecard: the main window of VorlaneCard.
#include "CVorlaneCardApp.h"

#include "GuiPlatform.h"
#include "VorlaneCardDlg.h"

#include <QApplication>

namespace vorlane::gui {

int CVorlaneCardApp::Run(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VorlaneCard"));
    QApplication::setDesktopFileName(QStringLiteral("vorlanecard"));
    // Work files are found by their relative names from here on.
    VpEnterWorkDir();
    InstallMessageBoxHandler();
    CVorlaneCardDlg dialog;
    if (dialog.Initalize() != 0) return 0; // second instance or missing components
    dialog.show();
    app.exec();
    return 0;
}

} // namespace vorlane::gui

int main(int argc, char** argv) {
    return vorlane::gui::CVorlaneCardApp::Run(argc, argv);
}
