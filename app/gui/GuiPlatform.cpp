#include "GuiPlatform.h"

#include "BurnEngine.h"

#include <QApplication>
#include <QMessageBox>
#include <QStringDecoder>
#include <QThread>

namespace vorlane::gui {

QString FromSystemText(const std::string& text) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    if (!utf8.hasError()) return decoded;
    QStringDecoder gbk("GBK");
    if (gbk.isValid()) {
        QString g = gbk(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
        if (!gbk.hasError()) return g;
    }
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QString FromSystemText(const char* text) {
    return FromSystemText(std::string(text ? text : ""));
}

namespace {

bool OnGuiThread() {
    return qApp && QThread::currentThread() == qApp->thread();
}

int ShowBox(const char* text, const char* caption, unsigned type) {
    QMessageBox box(QMessageBox::NoIcon, FromSystemText(caption), FromSystemText(text),
                    QMessageBox::NoButton, QApplication::activeWindow());
    if ((type & 0xF0u) == MB_ICONEXCLAMATION) box.setIcon(QMessageBox::Warning);
    if ((type & 0x0Fu) == MB_OKCANCEL) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Cancel);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    return box.exec() == QMessageBox::Ok ? IDOK : IDCANCEL;
}

int MessageBoxHandler(HWND, const char* text, const char* caption, unsigned type, void*) {
    if (!qApp) return IDOK;
    if (OnGuiThread()) return ShowBox(text, caption, type);
    // The calling worker waits while the box is shown on the GUI thread.
    std::string t = text ? text : "", c = caption ? caption : "";
    int answer = IDCANCEL;
    QMetaObject::invokeMethod(
        qApp, [&] { answer = ShowBox(t.c_str(), c.c_str(), type); }, Qt::BlockingQueuedConnection);
    return answer;
}

void Marshaller(void (*call)(void*), void* argument, int wait, void*) {
    if (!qApp) {
        call(argument);
        return;
    }
    if (wait && OnGuiThread()) {
        call(argument);
    } else if (wait) {
        QMetaObject::invokeMethod(
            qApp, [call, argument] { call(argument); }, Qt::BlockingQueuedConnection);
    } else {
        QMetaObject::invokeMethod(
            qApp, [call, argument] { call(argument); }, Qt::QueuedConnection);
    }
}

} // namespace

void InstallMessageBoxHandler() {
    VpSetMessageBoxHandler(&MessageBoxHandler, nullptr);
}

void MarshalWindowToGui(HWND window) {
    if (window) VpSetWindowMarshaller(window, &Marshaller, nullptr);
}

std::string FillString(const std::string& text, const std::string& value) {
    return engine::FillText(text, 's', value);
}

} // namespace vorlane::gui
