#include "provider/bus_watch.h"

#include <QCoreApplication>

namespace trovix::provider {

bool BusWatch::Watch(QDBusConnection& bus) {
  // The bus library raises this signal itself, locally, when the connection
  // drops; it never travels over the bus, so no sender can fake it.
  return bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
                     QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"),
                     this, SLOT(OnDisconnected()));
}

void BusWatch::OnDisconnected() { QCoreApplication::quit(); }

}  // namespace trovix::provider
