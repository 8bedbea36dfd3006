// CVorlaneCardDlg: the main window, a view over the burn engine. Engine
// reports arrive on any thread and are queued to the GUI thread; the engine
// window is served on the GUI thread, so WM_CARD_NOTIFY reaches the
// library's MessageCallBack there.
#pragma once

#include "BurnEngine.h"
#include "XListCtrl.h"

#include <QDialog>
#include <QString>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QToolButton;
class QTreeWidget;
class QMenu;

namespace vorlane::gui {

class HotPlug;

class CVorlaneCardDlg : public QDialog, public engine::BurnObserver {
    Q_OBJECT
  public:
    explicit CVorlaneCardDlg(QWidget* parent = nullptr);
    ~CVorlaneCardDlg() override;

    // Loads the components (engine Initalize), serves the engine window on
    // the GUI thread, sets the language texts, shows the stored image and
    // requests the first scan. 0 or the engine's start-up code.
    int Initalize();

    engine::BurnEngine& Engine() { return *m_engine; }
    CXListCtrl* DriveList() const { return m_driveList; }
    QTreeWidget* MessageList() const { return m_messageList; }
    QWidget* Control(int id) const;
    QString Text(int id) const;

    // Commands (the buttons call these).
    void OnBnClickedBtnImage();
    // Image selection without the file dialog (also used by it). The
    // library's check runs on a worker; ImageChecked reports the result.
    void SelectImage(const QString& path);
    void OnBnClickedBtnBurn();
    void OnBnClickedBtnRestore();
    void OnBnClickedBtnStop();
    void OnBnClickedBtnClear();
    void OnBnClickedBtnGetDrives();
    void OnBnClickedBtnHelp();
    void OnBnClickedBtnUpdate();
    void OnAbout();
    void OnSetting();
    // The close rule: closes when no burn thread runs, else shows text 15.
    bool TryClose();

    // Writes the 16-byte time record "timstamp.tmm" into `path`.
    static bool WriteTimeRecord(const std::string& path);

  signals:
    void ImageChecked(int result);
    void RunFinished(bool success);
    void ScanDone(const QString& letters);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    // BurnObserver (any thread): each queues its update to the GUI thread.
    void DriveListChanged(const std::vector<engine::DriveRecord>& records) override;
    void RowChanged(const engine::DriveRecord& record) override;
    void Progress(char letter, int percent) override;
    void AddMessage(const std::string& line) override;
    void MessagesCleared() override;
    void CommandsEnabled(bool enable) override;
    void ControlEnabled(int id, bool enable) override;
    void StatusLine(const std::string& text) override;
    void KindChanged(engine::CardKind kind) override;
    void RunEnded(bool success) override;
    void ScanFinished(const std::string& letters) override;

    void BuildLayout();
    void SetCaptions();
    void ShowDrives(const std::vector<engine::DriveRecord>& records);
    void PaintRow(const engine::DriveRecord& record);
    int RowOf(char letter) const;
    void OnDriveListClicked(int row, int column);
    void OnRescanWanted();
    void ShowImagePath(const QString& path);
    template <typename F> void Queue(F&& f);

    std::unique_ptr<engine::BurnEngine> m_engine;
    std::map<int, QWidget*> m_controls;
    QPushButton* m_btnImage;
    QLineEdit* m_editImage;
    CXListCtrl* m_driveList;
    QRadioButton* m_radioProduct;
    QRadioButton* m_radioStartup;
    QRadioButton* m_radioKey;
    QPushButton* m_btnStop;
    QTreeWidget* m_messageList;
    QLabel* m_status;
    QToolButton* m_menuButton;
    QMenu* m_menu;
    HotPlug* m_hotPlug;
    std::vector<char> m_rowLetters;
    std::thread m_imageThread;
    bool m_rescanPending = false;
    bool m_allowClose = false;
};

} // namespace vorlane::gui
