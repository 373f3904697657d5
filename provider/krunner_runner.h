// org.kde.krunner1 on the session bus: KRunner (and Plasma's search) asks it
// for matches as the user types.
//
// Match answers at most kMaxResults matches, best first, with relevance
// falling from 1.0 by rank. Run opens only catalogued files: a match id that
// is not one, or an action it does not offer, answers
// org.freedesktop.DBus.Error.InvalidArgs and opens nothing. Runs on the main
// thread.
#pragma once

#include <QDBusArgument>
#include <QDBusContext>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace trovix::provider {

class DesktopSearch;
class IdleTimer;

inline constexpr const char* kRunnerObjectPath = "/runner";
inline constexpr const char* kOpenFolderAction = "open-folder";

// (sssida{sv}): id, text, icon name, type, relevance, properties.
struct RemoteMatch {
  QString id;
  QString text;
  QString icon_name;
  int type = 0;
  double relevance = 0;
  QVariantMap properties;
};

// (sss): id, text, icon name.
struct RemoteAction {
  QString id;
  QString text;
  QString icon_name;
};

using RemoteMatches = QList<RemoteMatch>;
using RemoteActions = QList<RemoteAction>;

// KRunner's match types: a possible match, not the one exact answer.
inline constexpr int kPossibleMatch = 30;

// Registers the structures with the D-Bus type system; once, before use.
void RegisterRunnerTypes();

class KRunnerRunner : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.krunner1")

 public:
  KRunnerRunner(DesktopSearch* search, IdleTimer* idle, QObject* parent = nullptr);

 public slots:
  // The query is cut into terms at white space.
  RemoteMatches Match(const QString& query);
  RemoteActions Actions();
  // An empty action opens the file; kOpenFolderAction its folder.
  void Run(const QString& match_id, const QString& action_id);

 private:
  DesktopSearch* search_;
  IdleTimer* idle_;
};

QDBusArgument& operator<<(QDBusArgument& argument, const RemoteMatch& match);
const QDBusArgument& operator>>(const QDBusArgument& argument, RemoteMatch& match);
QDBusArgument& operator<<(QDBusArgument& argument, const RemoteAction& action);
const QDBusArgument& operator>>(const QDBusArgument& argument, RemoteAction& action);

}  // namespace trovix::provider

Q_DECLARE_METATYPE(trovix::provider::RemoteMatch)
Q_DECLARE_METATYPE(trovix::provider::RemoteAction)
