// CSettingDialog: the two options of "option.cfg" (section "OPTION"): a
// custom card-writing plug-in and the size of an empty first partition.
#pragma once

#include <QDialog>

#include <functional>
#include <string>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace vorlane::gui {

class CSettingDialog : public QDialog {
    Q_OBJECT
  public:
    using TextSource = std::function<std::string(int id)>;
    // `optionPath`: the full path of "option.cfg"; `programDir`: where the
    // plug-in file named in the edit must exist; `texts`: the language texts
    // (may be empty: the template's captions stay).
    CSettingDialog(const std::string& optionPath, const std::string& programDir, TextSource texts,
                   QWidget* parent = nullptr);

    // "OPTION"/key = value; non-zero on success (a failure is logged).
    int SetKeyStringValue(const std::string& value, const char* key);
    std::string GetKeyStringValue(const char* key) const;

  public slots:
    void accept() override;

  private:
    void OnToolSourceToggled(bool checked);
    void OnFirstPartToggled(bool checked);
    bool Confirm(int textId);
    void Message(const std::string& text);

    std::string m_optionPath;
    std::string m_programDir;
    TextSource m_texts;
    std::string m_toolSourceAtOpen;
    QCheckBox* m_toolSourceCheck;
    QLineEdit* m_editToolsrc;
    QCheckBox* m_firstPartCheck;
    QLineEdit* m_editFirstPartSize;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

} // namespace vorlane::gui
