// A parsed query (query_language.h) made ready against the index store: its
// words and phrases are searched, and what the term search cannot answer
// (OR, NOT, the filters by name, kind, folder, date and size) is decided
// row by row as the catalogue rows of the candidates are read.
//
//  1. Open searches the words: each run of words and phrases that are ANDed
//     together is one term search (shared/itrovixterms.h), so the store
//     intersects them; OR and NOT combine those sets in memory.
//  2. candidates() is a superset of the matching files, ascending, or none
//     when the query holds no word that must be present (only filters, or
//     only NOT): then every catalogued file is a candidate.
//  3. Accepts decides a candidate from its catalogue row; a word leaf is
//     looked up in its set. Only rows the store reports reach it.
//
// A word without a searchable term (a lone letter, punctuation) narrows
// nothing and is left out, as in every word query; a part left with nothing
// goes with it.
//
// Threads: the caller's, which has initialised the component library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"
#include "query/query_language.h"

struct ITrovixDB;

namespace trovix::query {

// What Accepts reads of a file: its catalogue row.
struct FileFacts {
  INT id = 0;
  std::string_view path;  // UTF-8, absolute
  FILETIME modification{};
  UINT size_lo32 = 0;
};

class QueryPlan {
 public:
  // Searches the words of `root` with the term search `flags`; with
  // `to_read_whole` the sets are opened for ReadResultRows (see OpenTerms).
  // S_OK; S_FALSE when the query holds neither a searchable word nor a
  // filter (`*plan` untouched); the store's failure otherwise.
  [[nodiscard]] static HRESULT Open(ITrovixDB* store, const QueryNode& root, UINT flags,
                                    bool to_read_whole, QueryPlan* plan);

  [[nodiscard]] const std::optional<std::vector<INT>>& candidates() const { return candidates_; }
  // False when every candidate matches (the query is words and phrases
  // only): Accepts need not be asked.
  [[nodiscard]] bool tests_rows() const { return tests_rows_; }
  [[nodiscard]] bool Accepts(const FileFacts& file) const;

  // The words and phrases that must be present, in the term search's
  // grammar: for ranking (with the name: words) and for snippets (without).
  [[nodiscard]] const WString& ranking_text() const { return ranking_text_; }
  [[nodiscard]] const WString& snippet_text() const { return snippet_text_; }

  struct Step {
    NodeKind kind = NodeKind::kAnd;
    std::vector<INT> ids;  // a word leaf's files, ascending
    std::string text;      // UTF-8: extension, kind, or folder
    std::int64_t low = 0;
    std::int64_t high = kUnbounded;
    std::vector<Step> children;
  };

 private:
  Step root_;
  std::optional<std::vector<INT>> candidates_;
  bool tests_rows_ = false;
  WString ranking_text_;
  WString snippet_text_;
};

// Whether `file` passes every one of `filters`, nodes of the filter kinds
// (kExtension, kType, kFolder, kModified, kSize) decided as Accepts decides
// them: for a front end that takes its filters from controls, not text.
[[nodiscard]] bool PassesFilters(const std::vector<QueryNode>& filters, const FileFacts& file);

}  // namespace trovix::query
