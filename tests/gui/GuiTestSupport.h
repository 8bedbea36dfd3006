// Helpers of the window tests.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace vorlane::test {

// Serves the event loop until `done` holds or `ms` have passed.
inline bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    QApplication::processEvents();
    return true;
}

} // namespace vorlane::test
