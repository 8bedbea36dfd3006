#include "SettingDialog.h"

#include "EngineLog.h"
#include "GuiPlatform.h"
#include "VorlanePlatform.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace vorlane::gui {

namespace {

const char kFile[] = "SettingDialog";
const char kSection[] = "OPTION";
const char kCaption[] = "VorlaneCard Setting";

std::string WithoutSpaces(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != ' ') out += c;
    return out;
}

bool DigitsOnly(const std::string& text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string ToSystemText(const QString& text) {
    return text.toUtf8().toStdString();
}

} // namespace

CSettingDialog::CSettingDialog(const std::string& optionPath, const std::string& programDir,
                               TextSource texts, QWidget* parent)
    : QDialog(parent), m_optionPath(optionPath), m_programDir(programDir),
      m_texts(std::move(texts)) {
    setObjectName(QStringLiteral("103"));
    setWindowTitle(QString::fromUtf8(kCaption));
    m_toolSourceCheck = new QCheckBox(QStringLiteral("制卡插件文件自定义"), this);
    m_toolSourceCheck->setObjectName(QStringLiteral("1022"));
    m_editToolsrc = new QLineEdit(this);
    m_editToolsrc->setObjectName(QStringLiteral("1023"));
    m_firstPartCheck = new QCheckBox(QStringLiteral("第一分区为空分区大小设置(卡启动)"), this);
    m_firstPartCheck->setObjectName(QStringLiteral("1025"));
    m_editFirstPartSize = new QLineEdit(this);
    m_editFirstPartSize->setObjectName(QStringLiteral("1026"));
    auto* unit = new QLabel(QStringLiteral("M"), this);
    m_ok = new QPushButton(QStringLiteral("确定"), this);
    m_ok->setObjectName(QStringLiteral("1"));
    m_ok->setDefault(true);
    m_cancel = new QPushButton(QStringLiteral("取消"), this);
    m_cancel->setObjectName(QStringLiteral("2"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_toolSourceCheck);
    layout->addWidget(m_editToolsrc);
    layout->addSpacing(8);
    layout->addWidget(m_firstPartCheck);
    auto* sizeRow = new QHBoxLayout;
    sizeRow->addWidget(m_editFirstPartSize, 1);
    sizeRow->addWidget(unit);
    layout->addLayout(sizeRow);
    layout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    layout->addLayout(buttons);

    // 227 x 156 dialog units.
    QFontMetrics fm(font());
    int baseX = fm.horizontalAdvance(
                    QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                52;
    resize(227 * baseX / 4, 156 * fm.height() / 8);

    if (m_texts) {
        m_toolSourceCheck->setText(FromSystemText(m_texts(25)));
        m_firstPartCheck->setText(FromSystemText(m_texts(26)));
        m_ok->setText(FromSystemText(m_texts(27)));
        m_cancel->setText(FromSystemText(m_texts(28)));
    }
    const char* path = m_optionPath.c_str();
    int activeTool = GetPrivateProfileIntA(kSection, "activeToolsrc", 0, path);
    m_toolSourceCheck->setChecked(activeTool != 0);
    m_editToolsrc->setEnabled(activeTool != 0);
    int activeFirst = GetPrivateProfileIntA(kSection, "activeFirstPartSize", 0, path);
    m_firstPartCheck->setChecked(activeFirst != 0);
    m_editFirstPartSize->setEnabled(activeFirst != 0);
    m_toolSourceAtOpen = GetKeyStringValue("Toolsrc");
    m_editToolsrc->setText(FromSystemText(m_toolSourceAtOpen));
    m_editFirstPartSize->setText(FromSystemText(GetKeyStringValue("FirstPartSize")));

    connect(m_toolSourceCheck, &QCheckBox::toggled, this, &CSettingDialog::OnToolSourceToggled);
    connect(m_firstPartCheck, &QCheckBox::toggled, this, &CSettingDialog::OnFirstPartToggled);
    connect(m_ok, &QPushButton::clicked, this, &CSettingDialog::accept);
    connect(m_cancel, &QPushButton::clicked, this, &CSettingDialog::reject);
}

int CSettingDialog::SetKeyStringValue(const std::string& value, const char* key) {
    if (WritePrivateProfileStringA(kSection, key, value.c_str(), m_optionPath.c_str()) != 0)
        return 1;
    ENGINE_ERROR(kFile, "CSettingDialog::SetKeyStringValue", "save to %s item failed", key);
    return 0;
}

std::string CSettingDialog::GetKeyStringValue(const char* key) const {
    char value[260] = "";
    GetPrivateProfileStringA(kSection, key, "", value, sizeof value, m_optionPath.c_str());
    return value;
}

bool CSettingDialog::Confirm(int textId) {
    std::string text = m_texts ? m_texts(textId) : std::string();
    return MessageBoxA(nullptr, text.c_str(), kCaption, MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK;
}

void CSettingDialog::Message(const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), kCaption, MB_OK);
}

void CSettingDialog::OnToolSourceToggled(bool checked) {
    if (checked && !Confirm(29)) {
        QSignalBlocker block(m_toolSourceCheck);
        m_toolSourceCheck->setChecked(false);
        m_editToolsrc->setEnabled(false);
        return;
    }
    m_editToolsrc->setEnabled(checked);
}

void CSettingDialog::OnFirstPartToggled(bool checked) {
    if (checked && !Confirm(30)) {
        QSignalBlocker block(m_firstPartCheck);
        m_firstPartCheck->setChecked(false);
        m_editFirstPartSize->setEnabled(false);
        return;
    }
    m_editFirstPartSize->setEnabled(checked);
}

void CSettingDialog::accept() {
    // 1. The plug-in file must exist under its name without spaces.
    std::string rawToolsrc;
    if (m_editToolsrc->isEnabled()) {
        rawToolsrc = ToSystemText(m_editToolsrc->text());
        std::string name = WithoutSpaces(rawToolsrc);
        if (!name.empty()) {
            char full[VORLANE_MAX_PATH * 2];
            std::snprintf(full, sizeof full, "%s/%s", m_programDir.c_str(), name.c_str());
            struct stat st;
            if (stat(full, &st) != 0 || !S_ISREG(st.st_mode)) {
                Message(FillString(m_texts ? m_texts(31) : std::string("%s"), full));
                return;
            }
            SetKeyStringValue(name, "Toolsrc");
        }
    }
    // 2. The size: digits only.
    if (m_editFirstPartSize->isEnabled()) {
        std::string size = WithoutSpaces(ToSystemText(m_editFirstPartSize->text()));
        if (!size.empty()) {
            if (!DigitsOnly(size)) {
                Message(m_texts ? m_texts(32) : std::string());
                return;
            }
            SetKeyStringValue(size, "FirstPartSize");
        }
    }
    // 3, 4. The two option flags; a failed write keeps the dialog open and
    // says why, so that OK never seems to do nothing.
    if (!SetKeyStringValue(m_toolSourceCheck->isChecked() ? "1" : "0", "activeToolsrc") ||
        !SetKeyStringValue(m_firstPartCheck->isChecked() ? "1" : "0", "activeFirstPartSize")) {
        Message("The settings cannot be saved to " + m_optionPath + ".");
        return;
    }
    // 5. Without the option the rewritten partition table must not be used again.
    if (!m_firstPartCheck->isChecked()) std::remove("mbr_new.fex");
    // 6. A changed plug-in takes effect at the next start.
    if (rawToolsrc != m_toolSourceAtOpen) Message(m_texts ? m_texts(34) : std::string());
    QDialog::accept();
}

} // namespace vorlane::gui
