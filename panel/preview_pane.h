// The preview under the result list: the passages of the selected file where
// the words of the search occur, the words in bold, so that a person can tell
// why a file was found without opening it. Without a selection, or for a
// file with no such passage, it shows a short plain note instead.
//
// Invariants:
//  - The pane shows the passages or the note of exactly one (path, query,
//    flags), or the no-selection note. Asking again for what it shows reads
//    nothing: a search that leaves the selection alone costs no reading.
//  - Passages are read synchronously, each reading a whole operation of the
//    component library (panel/snippet_reader.h).
// Only the dialog's thread touches the pane.
#pragma once

#include <QTextBrowser>
#include <optional>
#include <vector>

#include "panel/snippet_reader.h"
#include "platform/types.h"

namespace trovix::panel {

// The passages as HTML: one paragraph each, its text escaped, its marked
// stretches bold. Marks outside the text, overlapping or out of order are
// cut to what lies after the previous mark and inside the text.
[[nodiscard]] QString PassagesHtml(const std::vector<PreviewPassage>& passages);

class PreviewPane : public QTextBrowser {
  Q_OBJECT

 public:
  explicit PreviewPane(QWidget* parent = nullptr);

  // The passages of `path` for `query` under the term search `flags`, or the
  // note that it has none (or cannot be read now).
  void ShowFile(const QString& path, const WString& query, UINT flags);
  void ShowNothingSelected();

 private:
  struct Shown {
    QString path;
    WString query;
    UINT flags = 0;
    bool operator==(const Shown&) const = default;
  };
  // None while the no-selection note shows.
  std::optional<Shown> shown_;
};

}  // namespace trovix::panel
