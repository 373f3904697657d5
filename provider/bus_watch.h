// The service ends when its session bus goes away (logout, a test's private
// bus stopped): no call can reach it any more, so waiting out the idle time
// would only leave a process behind.
#pragma once

#include <QDBusConnection>
#include <QObject>

namespace trovix::provider {

// Quits the application when `bus` reports its disconnection. Lives on the
// main thread, as long as the application's event loop.
class BusWatch : public QObject {
  Q_OBJECT

 public:
  explicit BusWatch(QObject* parent = nullptr) : QObject(parent) {}
  // False when the watch could not be set up.
  [[nodiscard]] bool Watch(QDBusConnection& bus);

 private slots:
  void OnDisconnected();
};

}  // namespace trovix::provider
