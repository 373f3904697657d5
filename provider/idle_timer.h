// The service ends by itself after a spell without calls: D-Bus starts it
// again on the next one.
#pragma once

#include <QObject>
#include <QTimer>

namespace trovix::provider {

// Quits the application when Touch() was not called for the idle time:
// $TROVIX_PROVIDER_IDLE_MS milliseconds when set to a positive number (tests
// shorten it), else kDefaultIdleMs. Lives on the main thread.
class IdleTimer : public QObject {
 public:
  static constexpr int kDefaultIdleMs = 60000;

  explicit IdleTimer(QObject* parent = nullptr);
  void Touch();
  [[nodiscard]] int interval() const { return timer_.interval(); }

 private:
  QTimer timer_;
};

}  // namespace trovix::provider
