// What the GNOME Shell and KRunner providers share.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "provider/desktop_search.h"

namespace trovix::provider {

// Terms as the search reads them. At most kMaxTerms are taken.
inline constexpr int kMaxTerms = 64;
[[nodiscard]] std::vector<WString> ToTerms(const QStringList& terms);

[[nodiscard]] QStringList HitIds(const std::vector<Hit>& hits);

// The icon name of the file's MIME type, from its name (and its first bytes
// when the name says nothing).
[[nodiscard]] QString IconFor(const QString& path);

// Hands `text` to the search panel through the band's hand-over, starting
// the panel when none runs. False when the text did not arrive.
bool HandToPanel(const QString& text);

}  // namespace trovix::provider
