// The About box: icon, product line and build time.
#pragma once

#include <QDialog>

namespace vorlane::gui {

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    // "BuildTime: %Y-%m-%d %H:%M:%S" of this build's compile date and time.
    static QString BuildTime();
};

} // namespace vorlane::gui
