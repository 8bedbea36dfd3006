#include "AboutDlg.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLocale>
#include <QVBoxLayout>

namespace vorlane::gui {

QString CAboutDlg::BuildTime() {
    // __DATE__ is "Mmm dd yyyy" (day padded with a space), __TIME__ "hh:mm:ss".
    QString date = QString::fromLatin1(__DATE__).simplified();
    QDateTime when =
        QLocale::c().toDateTime(date + QStringLiteral(" ") + QString::fromLatin1(__TIME__),
                                QStringLiteral("MMM d yyyy hh:mm:ss"));
    return QStringLiteral("BuildTime: ") + when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About VorlaneCard"));
    auto* icon = new QLabel(this);
    icon->setPixmap(windowIcon().pixmap(48, 48));
    auto* product = new QLabel(QStringLiteral("VorlaneCard，4.3.0 版"), this);
    product->setObjectName(QStringLiteral("product"));
    auto* build = new QLabel(QStringLiteral("BuildTime: 2023-08-03 19:00:00"), this);
    build->setObjectName(QStringLiteral("1021"));
    build->setText(BuildTime());
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* text = new QVBoxLayout;
    text->addWidget(product);
    text->addWidget(build);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
}

} // namespace vorlane::gui
