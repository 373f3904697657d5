#include "provider/krunner_runner.h"

#include <QDBusMetaType>
#include <QRegularExpression>

#include "provider/desktop_search.h"
#include "provider/file_opener.h"
#include "provider/idle_timer.h"
#include "provider/provider_common.h"

namespace trovix::provider {

void RegisterRunnerTypes() {
  qDBusRegisterMetaType<RemoteMatch>();
  qDBusRegisterMetaType<RemoteMatches>();
  qDBusRegisterMetaType<RemoteAction>();
  qDBusRegisterMetaType<RemoteActions>();
}

QDBusArgument& operator<<(QDBusArgument& argument, const RemoteMatch& match) {
  argument.beginStructure();
  argument << match.id << match.text << match.icon_name << match.type << match.relevance
           << match.properties;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, RemoteMatch& match) {
  argument.beginStructure();
  argument >> match.id >> match.text >> match.icon_name >> match.type >> match.relevance >>
      match.properties;
  argument.endStructure();
  return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const RemoteAction& action) {
  argument.beginStructure();
  argument << action.id << action.text << action.icon_name;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, RemoteAction& action) {
  argument.beginStructure();
  argument >> action.id >> action.text >> action.icon_name;
  argument.endStructure();
  return argument;
}

KRunnerRunner::KRunnerRunner(DesktopSearch* search, IdleTimer* idle, QObject* parent)
    : QObject(parent), search_(search), idle_(idle) {}

RemoteMatches KRunnerRunner::Match(const QString& query) {
  idle_->Touch();
  static const QRegularExpression kSpace(QStringLiteral("\\s+"));
  const QStringList terms =
      query.left(static_cast<qsizetype>(kMaxQueryUnits)).split(kSpace, Qt::SkipEmptyParts);
  std::vector<Hit> hits = search_->Search(ToTerms(terms));
  search_->AddSnippets(&hits, kSnippetBudget);
  RemoteMatches matches;
  for (std::size_t rank = 0; rank < hits.size(); ++rank) {
    const Hit& hit = hits[rank];
    const QString path = QString::fromStdU16String(hit.path);
    matches.push_back(
        {QString::fromStdString(hit.id),
         QString::fromStdU16String(hit.name),
         IconFor(path),
         kPossibleMatch,
         1.0 - 0.01 * static_cast<double>(rank),
         {{QStringLiteral("subtext"),
           QString::fromStdU16String(hit.snippet.empty() ? hit.folder : hit.snippet)}}});
  }
  return matches;
}

RemoteActions KRunnerRunner::Actions() {
  idle_->Touch();
  return {{QString::fromLatin1(kOpenFolderAction), QStringLiteral("Open containing folder"),
           QStringLiteral("document-open-folder")}};
}

void KRunnerRunner::Run(const QString& match_id, const QString& action_id) {
  idle_->Touch();
  const std::optional<Hit> hit = search_->Lookup(match_id.left(16).toStdString());
  const bool folder = action_id == QLatin1String(kOpenFolderAction);
  if (!hit || (!folder && !action_id.isEmpty())) {
    sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("not a file of the index"));
    return;
  }
  const QString path = QString::fromStdU16String(folder ? hit->folder : hit->path);
  if (!OpenPath(path)) {
    sendErrorReply(QDBusError::Failed, QStringLiteral("cannot start ") + OpenerProgram());
  }
}

}  // namespace trovix::provider
