#include "indexer/kestine/control_port.h"

#include <unistd.h>

#include <ctime>
#include <iostream>

#include "indexer/indexer_status.h"

namespace trovix::indexer {
namespace {

// The asker waits for the answer on its own port; a short bound keeps a
// vanished asker from holding up the main thread.
constexpr DWORD kAnswerTimeoutMs = 2000;
constexpr int kPauseCheckMs = 1000;

}  // namespace

ControlPort::ControlPort(IndexerService* service, RootsFn roots, QObject* parent)
    : QObject(parent), service_(service), roots_(std::move(roots)) {
  if (const HRESULT hr = MessagePort::Open(kControlPortTitle, {}, &port_); FAILED(hr)) {
    std::cerr << "kestine: cannot open the control port; trovix status and trovix config "
                 "cannot reach this indexer\n";
    port_.reset();
  } else {
    notifier_ = new QSocketNotifier(port_->fd(), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ControlPort::ReadMessages);
  }
  RefreshPause();
  pause_on_battery_ = ReadPauseOnBattery();
  connect(&pause_timer_, &QTimer::timeout, this, &ControlPort::RefreshPause);
  pause_timer_.start(kPauseCheckMs);
}

ControlPort::~ControlPort() = default;

void ControlPort::RefreshPause() {
  const PauseState now = ReadPause(std::time(nullptr));
  const bool changed = now.paused != pause_.paused;
  pause_ = now;
  service_->SetPaused(now.paused);
  if (changed) emit PauseChanged(now.paused);
}

void ControlPort::SetPaused(bool paused) {
  static_cast<void>(WritePause(PauseState{paused, std::nullopt}));
  RefreshPause();
}

void ControlPort::SetOnBattery(bool on_battery) {
  on_battery_ = on_battery;
  ApplyBatteryPause();
}

void ControlPort::ApplyBatteryPause() {
  service_->SetPausedOnBattery(on_battery_ && pause_on_battery_);
}

void ControlPort::ReadMessages() {
  Message message;
  while (port_->ReceiveOne(&message) == S_OK) {
    if (message.kind == MessageKind::kCopyData && message.message == WM_COPYDATA &&
        message.dwData == kStatusRequest) {
      port_->Reply(1);
      AnswerStatus(message);
    } else if (message.message == WM_TROVIX_SETTINGS_CHANGED) {
      if (message.needs_reply()) port_->Reply(1);
      service_->ApplySettings(roots_());
      RefreshPause();
      pause_on_battery_ = ReadPauseOnBattery();
      ApplyBatteryPause();
    } else if (message.needs_reply()) {
      port_->Reply(0);
    }
  }
}

void ControlPort::AnswerStatus(const Message& request) {
  PortInfo asker;
  asker.id.assign(request.data.begin(), request.data.end());
  IndexerStatus status = service_->Status();
  status.pid = static_cast<int>(getpid());
  status.pause_ends = pause_.paused ? pause_.ends : std::nullopt;
  const std::string text = status.Encode();
  static_cast<void>(SendCopyData(asker, kStatusAnswer, text.data(), static_cast<DWORD>(text.size()),
                                 kAnswerTimeoutMs, nullptr));
}

}  // namespace trovix::indexer
