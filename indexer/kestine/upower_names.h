// The names under which UPower publishes whether the machine runs on
// battery, shared by the indexer's reader and the tests' stand-in service.
#pragma once

#include <QString>

namespace trovix::indexer::upower {

inline const QString kService = QStringLiteral("org.freedesktop.UPower");
inline const QString kPath = QStringLiteral("/org/freedesktop/UPower");
inline const QString kInterface = QStringLiteral("org.freedesktop.UPower");
inline const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
inline const QString kOnBattery = QStringLiteral("OnBattery");

}  // namespace trovix::indexer::upower
