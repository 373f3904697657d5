// The indexer's presence on the desktop: the tray icon and its menu
// (Search, Status, Pause indexing, Exit). Lives on the main thread.
#pragma once

#include <QObject>
#include <QSystemTrayIcon>

class QAction;
class QMenu;

namespace trovix::indexer {

class TrayHost : public QObject {
  Q_OBJECT

 public:
  // Shows the tray icon when the desktop has a tray.
  explicit TrayHost(QObject* parent = nullptr);
  ~TrayHost() override;

  [[nodiscard]] bool has_icon() const { return icon_ != nullptr; }
  [[nodiscard]] bool status_open() const { return status_open_; }

 public slots:
  // Starts the search panel: BinPath + "vistrel". Silent when BinPath is
  // missing or the program cannot be started.
  void LaunchSearchPanel();
  // Opens the status window modally; ignored while it is open.
  void OpenStatus();
  // Quits the event loop; ignored while the status window is open.
  void RequestExit();
  // Shows `message` as a notification of the tray icon; nothing without one.
  void Notify(const QString& message);
  // Checks or clears "Pause indexing" without asking for a change.
  void ShowPaused(bool paused);

 signals:
  // The user checked (true) or cleared "Pause indexing".
  void PauseRequested(bool paused);

 private:
  void OnActivated(QSystemTrayIcon::ActivationReason reason);

  QSystemTrayIcon* icon_ = nullptr;
  QMenu* menu_ = nullptr;
  QAction* pause_ = nullptr;
  bool status_open_ = false;
};

}  // namespace trovix::indexer
