// The indexer's control port (see indexer_status.h) and the pauses it keeps
// in step with the registry: the user's pause, and the battery's while the
// "Pause On Battery" setting is on and the machine runs on battery. Lives on
// the main thread: the port is read there and every action on the service is
// the main thread's.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "indexer/indexer_service.h"
#include "indexer/pause_setting.h"
#include "platform/message_port.h"

namespace trovix::indexer {

class ControlPort : public QObject {
  Q_OBJECT

 public:
  using RootsFn = std::function<std::vector<std::string>()>;

  // `service` (started) outlives the port; `roots` reads the configured
  // roots. The pause in the registry is applied at once.
  ControlPort(IndexerService* service, RootsFn roots, QObject* parent = nullptr);
  ~ControlPort() override;

  // False when the port could not be opened: `trovix status` then reports
  // no indexer, the rest works.
  [[nodiscard]] bool open() const { return port_ != nullptr; }

  // Reads the pause from the registry and applies it (also its lapse).
  void RefreshPause();
  // Records and applies a pause until resumed, or a resume (the tray).
  void SetPaused(bool paused);
  // The machine went on battery or back on mains (power_source.h).
  void SetOnBattery(bool on_battery);

 signals:
  void PauseChanged(bool paused);

 private:
  void ReadMessages();
  void AnswerStatus(const Message& request);
  void ApplyBatteryPause();

  IndexerService* service_;
  RootsFn roots_;
  std::unique_ptr<MessagePort> port_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer pause_timer_;
  PauseState pause_;
  bool on_battery_ = false;
  bool pause_on_battery_ = true;  // the setting, read at start and on each change
};

}  // namespace trovix::indexer
