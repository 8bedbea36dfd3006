#include "HotPlug.h"

#include "VorlanePlatform.h"

#include <QDir>

#include <cstdlib>
#include <cstring>

#ifdef VORLANE_HAVE_UDEV
#include <libudev.h>
#endif

namespace vorlane::gui {

HotPlug::HotPlug(QObject* parent) : QObject(parent) {
    m_settle.setSingleShot(true);
    m_settle.setInterval(300);
    connect(&m_settle, &QTimer::timeout, this, &HotPlug::RescanWanted);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] { m_settle.start(); });
}

HotPlug::~HotPlug() {
    delete m_notifier;
#ifdef VORLANE_HAVE_UDEV
    if (m_monitor) udev_monitor_unref(static_cast<udev_monitor*>(m_monitor));
    if (m_udev) udev_unref(static_cast<udev*>(m_udev));
#endif
}

void HotPlug::Start() {
    WatchCardsDir();
#ifdef VORLANE_HAVE_UDEV
    auto* u = udev_new();
    if (!u) return;
    auto* monitor = udev_monitor_new_from_netlink(u, "udev");
    if (!monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        OutputDebugStringA("vorlanecard: udev block events are not available\n");
        if (monitor) udev_monitor_unref(monitor);
        udev_unref(u);
        return;
    }
    m_udev = u;
    m_monitor = monitor;
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(monitor), QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, &HotPlug::OnUdevEvent);
#endif
}

void HotPlug::WatchCardsDir() {
    const char* dir = std::getenv("VORLANE_CARDS_DIR");
    if (!dir || !*dir) return;
    QString path = QString::fromLocal8Bit(dir);
    if (!QDir(path).exists()) QDir().mkpath(path);
    if (QDir(path).exists()) m_watcher.addPath(path);
}

void HotPlug::OnUdevEvent() {
#ifdef VORLANE_HAVE_UDEV
    auto* device = udev_monitor_receive_device(static_cast<udev_monitor*>(m_monitor));
    if (!device) return;
    const char* action = udev_device_get_action(device);
    const char* name = udev_device_get_sysname(device);
    bool relevant = action && name &&
                    (!std::strcmp(action, "add") || !std::strcmp(action, "remove") ||
                     !std::strcmp(action, "change")) &&
                    std::strncmp(name, "ram", 3) != 0 && std::strncmp(name, "zram", 4) != 0 &&
                    std::strncmp(name, "dm-", 3) != 0;
    udev_device_unref(device);
    if (relevant) m_settle.start();
#endif
}

} // namespace vorlane::gui
