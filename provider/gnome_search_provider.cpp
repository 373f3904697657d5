#include "provider/gnome_search_provider.h"

#include <QDBusConnection>

#include "provider/desktop_search.h"
#include "provider/file_opener.h"
#include "provider/idle_timer.h"
#include "provider/provider_common.h"

namespace trovix::provider {

GnomeSearchProvider::GnomeSearchProvider(DesktopSearch* search, IdleTimer* idle, QObject* parent)
    : QObject(parent), search_(search), idle_(idle) {}

QStringList GnomeSearchProvider::GetInitialResultSet(const QStringList& terms) {
  idle_->Touch();
  return HitIds(search_->Search(ToTerms(terms)));
}

QStringList GnomeSearchProvider::GetSubsearchResultSet(const QStringList& previous,
                                                       const QStringList& terms) {
  idle_->Touch();
  std::vector<std::string> ids;
  for (const QString& id : previous) ids.push_back(id.left(16).toStdString());
  return HitIds(search_->Refine(ids, ToTerms(terms)));
}

QList<QVariantMap> GnomeSearchProvider::GetResultMetas(const QStringList& ids) {
  idle_->Touch();
  // The shell asks only for ids it was given; more than a page is not asked.
  std::vector<Hit> hits;
  QStringList found;
  for (int i = 0; i < ids.size() && i < static_cast<int>(kMaxResults) * 5; ++i) {
    std::optional<Hit> hit = search_->Lookup(ids[i].left(16).toStdString());
    if (!hit) continue;
    hits.push_back(std::move(*hit));
    found.push_back(ids[i]);
  }
  // The description tells why a file was found: the passage of its text
  // where the words occur; its folder when there is none (a name hit) or
  // no time was left for it.
  search_->AddSnippets(&hits, kSnippetBudget);
  QList<QVariantMap> metas;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const Hit& hit = hits[i];
    const QString path = QString::fromStdU16String(hit.path);
    const WString& description = hit.snippet.empty() ? hit.folder : hit.snippet;
    metas.push_back({{QStringLiteral("id"), found[static_cast<qsizetype>(i)]},
                     {QStringLiteral("name"), QString::fromStdU16String(hit.name)},
                     {QStringLiteral("description"), QString::fromStdU16String(description)},
                     {QStringLiteral("gicon"), IconFor(path)}});
  }
  return metas;
}

void GnomeSearchProvider::ActivateResult(const QString& id, const QStringList& /*terms*/,
                                         uint /*timestamp*/) {
  idle_->Touch();
  const std::optional<Hit> hit = search_->Lookup(id.left(16).toStdString());
  if (!hit) {
    sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("not a file of the index"));
    return;
  }
  if (!OpenPath(QString::fromStdU16String(hit->path))) {
    sendErrorReply(QDBusError::Failed, QStringLiteral("cannot start ") + OpenerProgram());
  }
}

void GnomeSearchProvider::LaunchSearch(const QStringList& terms, uint /*timestamp*/) {
  idle_->Touch();
  QStringList kept;
  for (const WString& term : ToTerms(terms)) kept.push_back(QString::fromStdU16String(term));
  const QString text = kept.join(u' ').left(static_cast<qsizetype>(kMaxQueryUnits));
  if (!text.isEmpty() && !HandToPanel(text)) {
    sendErrorReply(QDBusError::Failed, QStringLiteral("the search panel did not start"));
  }
  idle_->Touch();
}

}  // namespace trovix::provider
