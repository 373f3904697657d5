#include "indexer/kestine/power_source.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include "indexer/kestine/upower_names.h"
#include "platform/hresult.h"
#include "shared/diagnostic_log.h"

namespace trovix::indexer {
namespace {

using namespace upower;
constexpr int kAnswerTimeoutMs = 5000;

}  // namespace

PowerSource::PowerSource(QObject* parent) : QObject(parent), bus_(QDBusConnection::systemBus()) {
  if (!bus_.isConnected()) {
    LogEvent(__FILE__, __LINE__, S_OK,
             "no system bus (" + bus_.lastError().message().toStdString() +
                 "): indexing does not pause on battery");
    return;
  }
  // The signal first, then the question: a change between the two is not
  // missed, it only arrives twice.
  bus_.connect(kService, kPath, kProperties, QStringLiteral("PropertiesChanged"), this,
               SLOT(PropertiesChanged(QString, QVariantMap, QStringList)));
  auto* watcher =
      new QDBusServiceWatcher(kService, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
  connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &PowerSource::OwnerChanged);
  const QDBusMessage reply = bus_.call(AskMessage(), QDBus::Block, kFirstAnswerMs);
  Take(reply);
  if (reply.type() == QDBusMessage::ErrorMessage &&
      reply.errorName() != QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner") &&
      reply.errorName() != QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown")) {
    LogEvent(__FILE__, __LINE__, S_OK,
             "UPower did not answer (" + reply.errorMessage().toStdString() +
                 "): indexing does not pause on battery until it does");
  }
}

QDBusMessage PowerSource::AskMessage() const {
  QDBusMessage message =
      QDBusMessage::createMethodCall(kService, kPath, kProperties, QStringLiteral("Get"));
  message << kInterface << kOnBattery;
  message.setAutoStartService(false);
  return message;
}

void PowerSource::AskLater() {
  auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(AskMessage(), kAnswerTimeoutMs), this);
  connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
    Take(done->reply());
    done->deleteLater();
  });
}

// Anything but a boolean answer counts as on mains: an error means UPower
// is not there (or not yet), and no battery pause is the safe side.
void PowerSource::Take(const QDBusMessage& reply) {
  bool on_battery = false;
  if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1) {
    const QVariant value = reply.arguments().front().value<QDBusVariant>().variant();
    on_battery = value.metaType().id() == QMetaType::Bool && value.toBool();
  }
  Set(on_battery);
}

void PowerSource::PropertiesChanged(const QString& interface, const QVariantMap& changed,
                                    const QStringList& invalidated) {
  if (interface != kInterface) return;
  if (const auto found = changed.find(kOnBattery); found != changed.end()) {
    Set(found->metaType().id() == QMetaType::Bool && found->toBool());
  } else if (invalidated.contains(kOnBattery)) {
    AskLater();
  }
}

void PowerSource::OwnerChanged(const QString&, const QString&, const QString& new_owner) {
  if (new_owner.isEmpty()) {
    Set(false);
  } else {
    AskLater();
  }
}

void PowerSource::Set(bool on_battery) {
  if (on_battery == on_battery_) return;
  on_battery_ = on_battery;
  emit OnBatteryChanged(on_battery);
}

}  // namespace trovix::indexer
