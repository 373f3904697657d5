// Whether the machine runs on battery, as UPower tells on the system bus:
// the property OnBattery of /org/freedesktop/UPower (interface
// org.freedesktop.UPower), kept current by its PropertiesChanged signal.
// The system bus is the one libdbus finds: $DBUS_SYSTEM_BUS_ADDRESS when
// set, else the standard socket.
//
// No system bus, no UPower, or an answer that makes no sense: the machine
// counts as on mains. That is no fault (containers and many servers have
// neither), so it is written once to the diagnostic log and never to the
// user. UPower may start, stop and restart while kestine runs: its name's
// owner is watched, a new owner is asked again, and a vanished one counts
// as on mains. UPower is never started for us (no bus activation).
//
// Lives on the main thread: the connection delivers its answers and signals
// through the main event loop.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace trovix::indexer {

class PowerSource : public QObject {
  Q_OBJECT

 public:
  // How long the constructor waits for UPower's first answer, so that a
  // battery pause is in force before indexing starts. Later answers come
  // without blocking.
  static constexpr int kFirstAnswerMs = 1000;

  explicit PowerSource(QObject* parent = nullptr);

  [[nodiscard]] bool on_battery() const { return on_battery_; }

 signals:
  // After each change of on_battery().
  void OnBatteryChanged(bool on_battery);

 private slots:
  void PropertiesChanged(const QString& interface, const QVariantMap& changed,
                         const QStringList& invalidated);
  void OwnerChanged(const QString& service, const QString& old_owner, const QString& new_owner);

 private:
  [[nodiscard]] QDBusMessage AskMessage() const;
  void AskLater();
  void Take(const QDBusMessage& reply);
  void Set(bool on_battery);

  QDBusConnection bus_;
  bool on_battery_ = false;
};

}  // namespace trovix::indexer
