// ITrovixSnippets (shared/itrovixsnippets.h): a small object of its own,
// handed out by TrovixDB::QueryInterface. It reads files through their
// content filters and keeps the texts last read in a cache of the module's,
// which has its own lock: no call takes the module's critical section.
#pragma once

#include <string_view>
#include <vector>

#include "analysis/query_words.h"
#include "platform/types.h"
#include "platform/unknwn.h"

namespace ordalis {

// A new snippet object with one reference, at `*ppv`. E_OUTOFMEMORY (and
// null) when memory runs out. It counts as a live object of the module.
[[nodiscard]] HRESULT CreateSnippets(void** ppv);

// True when every one of `words` stands in the file name `name` or in the
// text of the file `path` as snippets read it (its filter, the first
// kSnippetTextUnits units, the cache), with the words of a phrase too short
// to be terms in their places (analysis/passages.h); with `name_only`, in
// the name. False when the text cannot be read. For the phrases whose short
// words the index cannot tell.
[[nodiscard]] bool FileHoldsWords(const WString& path, std::u16string_view name,
                                  const std::vector<trovix::analysis::QueryWord>& words,
                                  bool exact_accents, bool name_only);

}  // namespace ordalis
