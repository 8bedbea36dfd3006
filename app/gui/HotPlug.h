// Hot-plug: udev block events and changes of the virtual-card directory
// become one rescan request, as the volume arrival and removal broadcasts did.
#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

namespace vorlane::gui {

class HotPlug : public QObject {
    Q_OBJECT
  public:
    explicit HotPlug(QObject* parent = nullptr);
    ~HotPlug() override;
    // Starts listening; the virtual-card directory is $VORLANE_CARDS_DIR.
    void Start();

  signals:
    // A card or reader came or went (bursts within 300 ms are one signal).
    void RescanWanted();

  private:
    void OnUdevEvent();
    void WatchCardsDir();

    QFileSystemWatcher m_watcher;
    QTimer m_settle;
    QSocketNotifier* m_notifier = nullptr;
    void* m_udev = nullptr;
    void* m_monitor = nullptr;
};

} // namespace vorlane::gui
