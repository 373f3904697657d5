// The passages of one file that the preview pane shows, read through the
// index store's snippets (shared/itrovixsnippets.h).
//
// Each reading is one whole operation: it initialises the component library,
// creates and opens a store object, asks it, and releases everything before
// returning, so that no store module stays loaded between selections.
// Runs on the caller's thread (the dialog's), synchronously.
#pragma once

#include <utility>
#include <vector>

#include "platform/types.h"
#include "query/query_steps.h"

namespace trovix::panel {

using PreviewPassage = query::Passage;

enum class PassageStatus {
  kFound,       // one passage or more
  kNone,        // the text holds none of the words, or the query holds no word
  kUnreadable,  // the file, its filter or the store could not be used
};

struct PassageReading {
  PassageStatus status = PassageStatus::kNone;
  std::vector<PreviewPassage> passages;  // empty unless kFound
};

// Up to kSnippetMaxPassages passages of the file `path` (absolute) where the
// words of `query` (the term search's grammar) occur, under the term search
// flags `flags`. An empty query reads nothing and answers kNone.
[[nodiscard]] PassageReading ReadPassages(const WString& query, UINT flags, const WString& path);

}  // namespace trovix::panel
