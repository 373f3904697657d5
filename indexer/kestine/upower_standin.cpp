// upower_standin: UPower as a test needs it, on a private bus given as the
// system bus ($DBUS_SYSTEM_BUS_ADDRESS). It owns org.freedesktop.UPower and
// serves the one property OnBattery of /org/freedesktop/UPower, false at
// start. Each line "battery" or "mains" on standard input sets it and
// announces the change with PropertiesChanged, as UPower does; the end of
// the input ends the program. Exit status 1 when the bus or the name cannot
// be had.
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QSocketNotifier>
#include <QVariantMap>
#include <cstdio>
#include <string>

#include "indexer/kestine/upower_names.h"

namespace {

using namespace trovix::indexer::upower;

class UPowerObject : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override {
    return QStringLiteral(
        "<interface name=\"org.freedesktop.UPower\">"
        "<property name=\"OnBattery\" type=\"b\" access=\"read\"/></interface>");
  }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
    if (message.interface() != kProperties) return false;
    const QList<QVariant> args = message.arguments();
    if (message.member() == QStringLiteral("Get") && args.size() == 2 &&
        args[0].toString() == kInterface && args[1].toString() == kOnBattery) {
      return bus.send(message.createReply(QVariant::fromValue(QDBusVariant(on_battery_))));
    }
    if (message.member() == QStringLiteral("GetAll") && args.size() == 1 &&
        args[0].toString() == kInterface) {
      return bus.send(message.createReply(QVariant(QVariantMap{{kOnBattery, on_battery_}})));
    }
    return bus.send(
        message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"),
                                 QStringLiteral("no such property")));
  }

  void Set(bool on_battery, const QDBusConnection& bus) {
    on_battery_ = on_battery;
    QDBusMessage changed =
        QDBusMessage::createSignal(kPath, kProperties, QStringLiteral("PropertiesChanged"));
    changed << kInterface << QVariantMap{{kOnBattery, on_battery}} << QStringList{};
    bus.send(changed);
  }

 private:
  bool on_battery_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QDBusConnection bus = QDBusConnection::systemBus();
  UPowerObject object;
  if (!bus.isConnected() || !bus.registerVirtualObject(kPath, &object) ||
      !bus.registerService(kService)) {
    std::fprintf(stderr, "upower_standin: cannot serve %s on the bus\n", qPrintable(kService));
    return 1;
  }
  std::string input;
  QSocketNotifier lines(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&lines, &QSocketNotifier::activated, [&] {
    char buffer[256];
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) {
      app.quit();
      return;
    }
    input.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end = input.find('\n'); end != std::string::npos; end = input.find('\n')) {
      const std::string line = input.substr(0, end);
      input.erase(0, end + 1);
      if (line == "battery" || line == "mains") object.Set(line == "battery", bus);
    }
  });
  return app.exec();
}
