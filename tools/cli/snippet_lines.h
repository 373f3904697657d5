// The snippets `trovix search` shows under a file: the passages of its text
// where the query's words occur (shared/itrovixsnippets.h), made for the
// first files listed only.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/types.h"
#include "query/query_steps.h"

struct ITrovixDB;

namespace trovix::cli {

using SnippetPassage = query::Passage;

// The passages (at most two) of each of `paths` for the words `query` (the
// term search's grammar) under `flags`, in order; a file without passages,
// or whose text cannot be read, has none. An empty query, or a store
// without snippets, gives none for every file.
[[nodiscard]] std::vector<std::vector<SnippetPassage>> MakeSnippets(
    ITrovixDB* store, const WString& query, UINT flags, const std::vector<WString>& paths);

// The passages as lines under a path: each indented by four spaces, its
// marks bold on a terminal (and made safe for one, as names are), plain
// otherwise.
[[nodiscard]] std::string SnippetLines(const std::vector<SnippetPassage>& passages, bool terminal);

// The passages as a JSON array of {"text": ..., "matches": [[from, to], ...]},
// the offsets counting Unicode characters (code points) of "text".
[[nodiscard]] std::string SnippetJson(const std::vector<SnippetPassage>& passages);

}  // namespace trovix::cli
