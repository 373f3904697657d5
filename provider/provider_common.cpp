#include "provider/provider_common.h"

#include <QMimeDatabase>

#include "deskband/launch_panel.h"

namespace trovix::provider {

std::vector<WString> ToTerms(const QStringList& terms) {
  std::vector<WString> out;
  for (int i = 0; i < terms.size() && i < kMaxTerms; ++i) {
    out.push_back(terms[i].left(static_cast<qsizetype>(kMaxQueryUnits)).toStdU16String());
  }
  return out;
}

QStringList HitIds(const std::vector<Hit>& hits) {
  QStringList ids;
  for (const Hit& hit : hits) ids.push_back(QString::fromStdString(hit.id));
  return ids;
}

QString IconFor(const QString& path) {
  static const QMimeDatabase database;
  return database.mimeTypeForFile(path).iconName();
}

bool HandToPanel(const QString& text) {
  return brimwick::LaunchOrFeedPanel(text.toStdU16String()).handed_over;
}

}  // namespace trovix::provider
