#include "VorlaneCardDlg.h"

#include "AboutDlg.h"
#include "GuiPlatform.h"
#include "HotPlug.h"
#include "SettingDialog.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cstdio>
#include <cstring>

namespace vorlane::gui {

using engine::CardKind;
using engine::DriveRecord;

namespace {

std::string DirPath(int (*get)(char*, size_t)) {
    char buffer[VORLANE_MAX_PATH];
    return get(buffer, sizeof buffer) == 0 ? std::string(buffer) : std::string();
}

std::string WorkFile(const char* name) {
    char buffer[VORLANE_MAX_PATH];
    return VpWorkPath(buffer, sizeof buffer, name) == 0 ? std::string(buffer) : std::string();
}

std::string ModuleFile(const char* name) {
    char buffer[VORLANE_MAX_PATH];
    return VpModulePath(buffer, sizeof buffer, name) == 0 ? std::string(buffer) : std::string();
}

// The eight command controls, enabled and disabled together.
const int kCommandIds[] = {1000, 1005, 1019, 1006, 1007, 1010, 1013, 1014};

} // namespace

template <typename F> void CVorlaneCardDlg::Queue(F&& f) {
    QMetaObject::invokeMethod(this, std::forward<F>(f), Qt::QueuedConnection);
}

CVorlaneCardDlg::CVorlaneCardDlg(QWidget* parent)
    : QDialog(parent), m_engine(std::make_unique<engine::BurnEngine>(this)) {
    setObjectName(QStringLiteral("102"));
    setWindowIcon(QIcon(QString::fromStdString(ModuleFile("vorlanecard.svg"))));
    BuildLayout();
    m_hotPlug = new HotPlug(this);
    connect(m_hotPlug, &HotPlug::RescanWanted, this, &CVorlaneCardDlg::OnRescanWanted);
}

CVorlaneCardDlg::~CVorlaneCardDlg() {
    if (m_imageThread.joinable()) m_imageThread.join();
    // The engine waits for its threads; their reports to this window are
    // dropped with it.
    m_engine.reset();
}

QWidget* CVorlaneCardDlg::Control(int id) const {
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

QString CVorlaneCardDlg::Text(int id) const {
    return FromSystemText(m_engine->GetText(id));
}

void CVorlaneCardDlg::BuildLayout() {
    auto named = [this](QWidget* w, int id) {
        w->setObjectName(QString::number(id));
        m_controls[id] = w;
        return w;
    };
    auto button = [&](int id, const char* caption) {
        auto* b = new QPushButton(QString::fromUtf8(caption), this);
        b->setAutoDefault(false);
        named(b, id);
        return b;
    };

    // Image row.
    m_btnImage = button(1000, "固件");
    m_editImage = new QLineEdit(this);
    m_editImage->setReadOnly(true);
    named(m_editImage, 1001);
    m_menuButton = new QToolButton(this);
    m_menuButton->setObjectName(QStringLiteral("menu"));
    m_menuButton->setText(QStringLiteral("☰"));
    m_menuButton->setPopupMode(QToolButton::InstantPopup);
    m_menu = new QMenu(this);
    m_menu->addAction(QStringLiteral("关于 VorlaneCard(&A)..."), this, &CVorlaneCardDlg::OnAbout);
    m_menu->addAction(QStringLiteral("Setting"), this, &CVorlaneCardDlg::OnSetting);
    m_menuButton->setMenu(m_menu);
    auto* imageRow = new QHBoxLayout;
    imageRow->addWidget(m_btnImage);
    imageRow->addWidget(m_editImage, 1);
    imageRow->addWidget(m_menuButton);

    // Drive list group.
    auto* driveGroup = new QGroupBox(
        QStringLiteral("列表  (请确保值插入需要烧写的卡，并拔出其他移动存储设备）"), this);
    named(driveGroup, 1002);
    m_driveList = new CXListCtrl(driveGroup);
    named(m_driveList, 1004);
    auto* driveLayout = new QVBoxLayout(driveGroup);
    driveLayout->addWidget(m_driveList);

    // Card kind group and the command buttons beside the list.
    auto* kindGroup = new QGroupBox(QStringLiteral("制作卡的种类"), this);
    named(kindGroup, 1009);
    m_radioProduct = new QRadioButton(QStringLiteral("量产卡"), kindGroup);
    named(m_radioProduct, 1006);
    m_radioStartup = new QRadioButton(QStringLiteral("启动卡"), kindGroup);
    named(m_radioStartup, 1007);
    m_radioKey = new QRadioButton(QStringLiteral("烧Key卡"), kindGroup);
    named(m_radioKey, 1008);
    m_radioKey->setEnabled(false); // key cards are never made
    m_radioProduct->setChecked(true);
    auto* kindLayout = new QVBoxLayout(kindGroup);
    kindLayout->addWidget(m_radioProduct);
    kindLayout->addWidget(m_radioStartup);
    kindLayout->addWidget(m_radioKey);

    auto* btnBurn = button(1005, "烧卡");
    auto* btnRestore = button(1010, "恢复卡");
    m_btnStop = button(1012, "Stop");
    m_btnStop->hide();
    auto* btnGetDrives = button(1019, "获取盘符");
    auto* side = new QVBoxLayout;
    side->addWidget(kindGroup);
    side->addSpacing(6);
    side->addWidget(btnBurn);
    side->addWidget(btnRestore);
    side->addWidget(m_btnStop);
    side->addWidget(btnGetDrives);
    side->addStretch(1);
    auto* middle = new QHBoxLayout;
    middle->addWidget(driveGroup, 1);
    middle->addLayout(side);

    // Message list group.
    auto* messageGroup = new QGroupBox(QStringLiteral("输出信息"), this);
    named(messageGroup, 1011);
    m_messageList = new QTreeWidget(messageGroup);
    named(m_messageList, 1015);
    m_messageList->setColumnCount(1);
    m_messageList->setHeaderLabels({QStringLiteral("Message")});
    m_messageList->header()->setDefaultAlignment(Qt::AlignCenter);
    m_messageList->header()->setStretchLastSection(true);
    m_messageList->setRootIsDecorated(false);
    m_messageList->setUniformRowHeights(true);
    auto* messageLayout = new QVBoxLayout(messageGroup);
    messageLayout->addWidget(m_messageList);

    // Status line and the small commands.
    m_status = new QLabel(this);
    named(m_status, 1016);
    auto* btnClear = button(1013, "清除消息");
    auto* btnUpdate = button(1014, "版本更新");
    auto* btnHelp = button(1017, "帮助");
    auto* btnClose = button(1018, "关闭");
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_status, 1);
    bottom->addWidget(btnClear);
    bottom->addWidget(btnUpdate);
    bottom->addWidget(btnHelp);
    bottom->addWidget(btnClose);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(imageRow);
    layout->addLayout(middle, 3);
    layout->addWidget(messageGroup, 2);
    layout->addLayout(bottom);

    // The drive list: No. / drive / capacity / progress in the ratio 1:1:2:6;
    // default headings until the language texts are set.
    m_driveList->InsertColumn(0, QString(), Qt::AlignLeft, 1);
    m_driveList->InsertColumn(1, QString(), Qt::AlignCenter, 1);
    m_driveList->InsertColumn(2, QString(), Qt::AlignCenter, 2);
    m_driveList->InsertColumn(3, QString(), Qt::AlignCenter, 6);

    // 519 x 393 dialog units of the default font; resizable.
    QFontMetrics fm(font());
    int baseX = fm.horizontalAdvance(
                    QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                52;
    resize(519 * baseX / 4, 393 * fm.height() / 8);
    setSizeGripEnabled(true);
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);

    connect(m_btnImage, &QPushButton::clicked, this, &CVorlaneCardDlg::OnBnClickedBtnImage);
    connect(btnBurn, &QPushButton::clicked, this, &CVorlaneCardDlg::OnBnClickedBtnBurn);
    connect(btnRestore, &QPushButton::clicked, this, &CVorlaneCardDlg::OnBnClickedBtnRestore);
    connect(m_btnStop, &QPushButton::clicked, this, &CVorlaneCardDlg::OnBnClickedBtnStop);
    connect(btnGetDrives, &QPushButton::clicked, this, &CVorlaneCardDlg::OnBnClickedBtnGetDrives);
    connect(btnClear, &QPushButton::clicked, this, &CVorlaneCardDlg::OnBnClickedBtnClear);
    connect(btnUpdate, &QPushButton::clicked, this, &CVorlaneCardDlg::OnBnClickedBtnUpdate);
    connect(btnHelp, &QPushButton::clicked, this, &CVorlaneCardDlg::OnBnClickedBtnHelp);
    connect(btnClose, &QPushButton::clicked, this, &CVorlaneCardDlg::TryClose);
    connect(m_radioProduct, &QRadioButton::toggled, this, [this](bool on) {
        if (on) m_engine->SetKind(CardKind::Product);
    });
    connect(m_radioStartup, &QRadioButton::toggled, this, [this](bool on) {
        if (on) m_engine->SetKind(CardKind::Startup);
    });
    connect(m_driveList, &CXListCtrl::ItemClicked, this, &CVorlaneCardDlg::OnDriveListClicked);
}

void CVorlaneCardDlg::SetCaptions() {
    setWindowTitle(Text(16));
    static const int kIds[][2] = {{1000, 0},  {1005, 5},  {1002, 1},  {1006, 2},  {1007, 3},
                                  {1008, 4},  {1009, 7},  {1010, 6},  {1011, 12}, {1013, 13},
                                  {1014, 14}, {1017, 17}, {1018, 18}, {1019, 20}};
    for (const auto& pair : kIds) {
        QWidget* w = Control(pair[0]);
        QString text = Text(pair[1]);
        if (text.isEmpty()) continue;
        if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(text);
        if (auto* g = qobject_cast<QGroupBox*>(w)) g->setTitle(text);
    }
    for (int column = 0; column < 4; ++column)
        m_driveList->Model()->SetHeading(column, Text(8 + column));
}

int CVorlaneCardDlg::Initalize() {
    int r = m_engine->Initalize(false);
    if (r != 0) return r;
    MarshalWindowToGui(m_engine->Window());
    SetCaptions();
    m_radioProduct->setChecked(true);
    m_engine->SetKind(CardKind::Product);
    ShowImagePath(QString::fromStdString(m_engine->ImagePath()));
    m_hotPlug->Start();
    m_engine->RequestRefresh();
    return 0;
}

void CVorlaneCardDlg::ShowImagePath(const QString& path) {
    m_editImage->setText(path);
}

// ---- Observer ------------------------------------------------------------------------------

void CVorlaneCardDlg::DriveListChanged(const std::vector<DriveRecord>& records) {
    Queue([this, records] { ShowDrives(records); });
}

void CVorlaneCardDlg::RowChanged(const DriveRecord& record) {
    Queue([this, record] { PaintRow(record); });
}

void CVorlaneCardDlg::Progress(char letter, int percent) {
    Queue([this, letter, percent] {
        int row = RowOf(letter);
        if (row < 0) return;
        const XCell* cell = m_driveList->Cell(row, 3);
        if (percent == 0 || !cell || !cell->progressShown) m_driveList->ResetProgress(row);
        m_driveList->SetProgress(row, percent);
    });
}

void CVorlaneCardDlg::AddMessage(const std::string& line) {
    QString text = FromSystemText(line);
    Queue([this, text] {
        new QTreeWidgetItem(m_messageList, QStringList{text});
        m_messageList->scrollToBottom();
    });
}

void CVorlaneCardDlg::MessagesCleared() {
    Queue([this] { m_messageList->clear(); });
}

void CVorlaneCardDlg::CommandsEnabled(bool enable) {
    Queue([this, enable] {
        for (int id : kCommandIds)
            if (QWidget* w = Control(id)) w->setEnabled(enable);
    });
}

void CVorlaneCardDlg::ControlEnabled(int id, bool enable) {
    Queue([this, id, enable] {
        QWidget* w = Control(id);
        if (!w) return;
        if (id == 1012)
            w->setVisible(enable); // Stop is shown and hidden
        else if (id != 1008)
            w->setEnabled(enable);
    });
}

void CVorlaneCardDlg::StatusLine(const std::string& text) {
    QString t = FromSystemText(text);
    Queue([this, t] { m_status->setText(t); });
}

void CVorlaneCardDlg::KindChanged(CardKind kind) {
    Queue([this, kind] {
        if (kind == CardKind::Startup) m_radioStartup->setChecked(true);
        if (kind == CardKind::Product) m_radioProduct->setChecked(true);
    });
}

void CVorlaneCardDlg::RunEnded(bool success) {
    Queue([this, success] {
        // A card that came or went during the run is picked up now.
        if (m_rescanPending && !m_engine->Busy()) {
            m_rescanPending = false;
            m_engine->RequestRefresh();
        }
        emit RunFinished(success);
    });
}

void CVorlaneCardDlg::ScanFinished(const std::string& letters) {
    QString l = QString::fromStdString(letters);
    Queue([this, l] {
        // Get drive letters stays available when nothing was found: it is
        // the operator's way to look again.
        if (l.isEmpty() && !m_engine->Busy()) Control(1019)->setEnabled(true);
        emit ScanDone(l);
    });
}

// ---- Drive list ----------------------------------------------------------------------------

void CVorlaneCardDlg::ShowDrives(const std::vector<DriveRecord>& records) {
    m_driveList->DeleteAllItems();
    m_rowLetters.clear();
    for (size_t i = 0; i < records.size(); ++i) {
        const DriveRecord& r = records[i];
        int row = m_driveList->InsertItem(static_cast<int>(i), QString::number(i + 1), 0x000000,
                                          0xFFFFFF);
        if (row < 0) continue;
        m_rowLetters.push_back(r.letter);
        m_driveList->SetCheckbox(row, r.checked ? 1 : 0);
        QString name = QFileInfo(QString::fromStdString(r.device)).fileName();
        m_driveList->SetItemText(row, 1, QStringLiteral("%1  %2").arg(QChar(r.letter), name));
        m_driveList->SetItemText(row, 2, QStringLiteral("%1M").arg(r.capacityMB));
        QString tip = QString::fromStdString(r.device);
        if (!r.model.empty()) tip += QStringLiteral(" (") + FromSystemText(r.model) + ")";
        m_driveList->SetItemToolTip(row, 1, tip);
        for (int column = 1; column <= 3; ++column)
            m_driveList->SetItemColors(column, row, r.checked ? r.colour : 0xFFFFFF);
    }
    m_driveList->RedrawItems();
}

int CVorlaneCardDlg::RowOf(char letter) const {
    for (size_t i = 0; i < m_rowLetters.size(); ++i)
        if (m_rowLetters[i] == letter) return static_cast<int>(i);
    return -1;
}

void CVorlaneCardDlg::PaintRow(const DriveRecord& record) {
    int row = RowOf(record.letter);
    if (row < 0) return;
    if (m_driveList->GetCheckbox(row) != (record.checked ? 1 : 0))
        m_driveList->SetCheckbox(row, record.checked ? 1 : 0);
    for (int column = 1; column <= 3; ++column)
        m_driveList->SetItemColors(column, row, record.colour);
    m_driveList->RedrawItems();
}

void CVorlaneCardDlg::OnDriveListClicked(int row, int column) {
    if (column != 0 || row < 0 || row >= static_cast<int>(m_rowLetters.size())) return;
    // The list has toggled the box already; the records follow the rows.
    m_engine->SetChecked(m_rowLetters[row], m_driveList->GetCheckbox(row) == 1);
}

void CVorlaneCardDlg::OnRescanWanted() {
    if (m_engine->Busy()) {
        // Scans pause while cards are prepared or written.
        m_rescanPending = true;
        return;
    }
    m_engine->RequestRefresh();
}

// ---- Commands ------------------------------------------------------------------------------

void CVorlaneCardDlg::OnBnClickedBtnImage() {
    QString path =
        QFileDialog::getOpenFileName(this, QString(), QFileInfo(m_editImage->text()).absolutePath(),
                                     QStringLiteral("Image Files (*.img);;All Files (*)"));
    if (path.isEmpty()) return;
    SelectImage(path);
}

void CVorlaneCardDlg::SelectImage(const QString& path) {
    if (m_imageThread.joinable()) m_imageThread.join();
    ShowImagePath(path);
    for (int id : kCommandIds)
        if (QWidget* w = Control(id)) w->setEnabled(false);
    // The library extracts the work files from the image: off the GUI thread.
    std::string image = path.toStdString();
    m_imageThread = std::thread([this, image] {
        int r = m_engine->SetImagePath(image);
        Queue([this, r] {
            bool anyChecked = false;
            for (const DriveRecord& d : m_engine->Drives())
                anyChecked = anyChecked || d.checked;
            for (int id : kCommandIds)
                if (QWidget* w = Control(id)) w->setEnabled(anyChecked || id == 1000 || id == 1019);
            Control(1005)->setEnabled(r == 0 && anyChecked);
            if (r != 0) m_editImage->clear();
            emit ImageChecked(r);
        });
    });
}

void CVorlaneCardDlg::OnBnClickedBtnBurn() {
    m_engine->SetKind(m_radioStartup->isChecked()   ? CardKind::Startup
                      : m_radioProduct->isChecked() ? CardKind::Product
                                                    : CardKind::None);
    m_engine->Burn();
}

void CVorlaneCardDlg::OnBnClickedBtnRestore() {
    m_engine->Restore();
}

void CVorlaneCardDlg::OnBnClickedBtnStop() {
    m_engine->StopLoop();
}

void CVorlaneCardDlg::OnBnClickedBtnClear() {
    m_messageList->clear();
}

void CVorlaneCardDlg::OnBnClickedBtnGetDrives() {
    m_engine->ResetColoursAndRescan();
}

void CVorlaneCardDlg::OnBnClickedBtnHelp() {
    std::string help = ModuleFile(m_engine->GetText(19).c_str());
    if (!help.empty())
        QProcess::startDetached(QStringLiteral("xdg-open"), {QString::fromStdString(help)});
}

bool CVorlaneCardDlg::WriteTimeRecord(const std::string& path) {
    QDateTime now = QDateTime::currentDateTime();
    QDate d = now.date();
    QTime t = now.time();
    const uint16_t fields[8] = {
        static_cast<uint16_t>(d.year()),          static_cast<uint16_t>(d.month()),
        static_cast<uint16_t>(d.dayOfWeek() % 7), static_cast<uint16_t>(d.day()),
        static_cast<uint16_t>(t.hour()),          static_cast<uint16_t>(t.minute()),
        static_cast<uint16_t>(t.second()),        0};
    unsigned char bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<unsigned char>(fields[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<unsigned char>(fields[i] >> 8);
    }
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes, 1, sizeof bytes, f) == sizeof bytes;
    return std::fclose(f) == 0 && ok;
}

void CVorlaneCardDlg::OnBnClickedBtnUpdate() {
    WriteTimeRecord(WorkFile("timstamp.tmm"));
    std::string updater = ModuleFile("Newelt");
    if (!updater.empty() && QFileInfo(QString::fromStdString(updater)).isExecutable())
        QProcess::startDetached(QString::fromStdString(updater), {});
}

void CVorlaneCardDlg::OnAbout() {
    CAboutDlg about(this);
    about.setWindowIcon(windowIcon());
    about.exec();
}

void CVorlaneCardDlg::OnSetting() {
    // Busy covers the preparation and the run: the library reads the
    // options while it prepares each card.
    if (m_engine->Busy()) {
        MessageBoxA(nullptr, m_engine->GetText(35).c_str(), "VorlaneCard", MB_OK);
        return;
    }
    CSettingDialog dialog(
        WorkFile("option.cfg"), DirPath(&VpWorkDir),
        [this](int id) { return m_engine->GetText(id); }, this);
    dialog.exec();
}

bool CVorlaneCardDlg::TryClose() {
    if (!m_engine->CanClose()) {
        MessageBoxA(nullptr, m_engine->GetText(15).c_str(), "VorlaneCard", MB_OK);
        return false;
    }
    m_allowClose = true;
    QDialog::done(QDialog::Accepted);
    return true;
}

void CVorlaneCardDlg::keyPressEvent(QKeyEvent* event) {
    // Escape never closes the window.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CVorlaneCardDlg::reject() {
    // Reached by Escape shortcuts of the dialog: swallowed like the key.
}

void CVorlaneCardDlg::closeEvent(QCloseEvent* event) {
    if (m_allowClose) {
        event->accept();
        return;
    }
    event->ignore();
    TryClose();
}

void CVorlaneCardDlg::contextMenuEvent(QContextMenuEvent* event) {
    m_menu->exec(event->globalPos());
}

} // namespace vorlane::gui
