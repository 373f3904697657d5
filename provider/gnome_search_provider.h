// org.gnome.Shell.SearchProvider2 on the session bus: GNOME Shell's overview
// asks it for results as the user types.
//
// Every method accepts any arguments the bus delivers: empty or huge term
// lists are answered (huge ones are cut, see desktop_search.h), unknown ids
// are left out of metas, and ActivateResult with an id that is not a
// catalogued file answers org.freedesktop.DBus.Error.InvalidArgs and opens
// nothing. Runs on the main thread.
#pragma once

#include <QDBusContext>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

namespace trovix::provider {

class DesktopSearch;
class IdleTimer;

inline constexpr const char* kGnomeObjectPath = "/org/trovix/SearchProvider";

class GnomeSearchProvider : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.gnome.Shell.SearchProvider2")

 public:
  GnomeSearchProvider(DesktopSearch* search, IdleTimer* idle, QObject* parent = nullptr);

 public slots:
  QStringList GetInitialResultSet(const QStringList& terms);
  QStringList GetSubsearchResultSet(const QStringList& previous, const QStringList& terms);
  // id, name, description (the folder) and gicon (the MIME type's icon name).
  QList<QVariantMap> GetResultMetas(const QStringList& ids);
  void ActivateResult(const QString& id, const QStringList& terms, uint timestamp);
  // Hands the terms to the search panel, starting it when none runs.
  void LaunchSearch(const QStringList& terms, uint timestamp);

 private:
  DesktopSearch* search_;
  IdleTimer* idle_;
};

}  // namespace trovix::provider
