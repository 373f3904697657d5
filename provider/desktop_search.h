// The desktop search boxes' questions answered from the index: search as the
// user types, refine a previous answer, and look a file up by its result id.
//
// As-you-type rules:
//  1. The terms are joined with spaces and searched by the store's term
//     search (shared/itrovixterms.h), whose text analysis they go through
//     as any text does; nothing of them reaches a statement as syntax. At
//     most kMaxQueryUnits of input are read; the rest is ignored.
//  2. Fewer than kMinQueryLetters characters (spaces not counted), a query
//     without a searchable word, and the whole-index words "*", "+" and
//     "-" → no results.
//  3. Words without a searchable term (a lone letter, punctuation) are left
//     out. The last word left matches as a prefix ("budg" finds "budget");
//     every other word must match whole. A word the user typed with "*"
//     stays a pattern.
//  4. The answer is ranked best first (query/relevance_order.h) and holds at
//     most kMaxResults files. When more than kRankedCandidates files match,
//     only the kRankedCandidates most recently catalogued (highest
//     identifiers) are ranked: the bound that keeps a keystroke cheap on a
//     large index.
//
// A result id is the file's catalogue identifier in decimal. An id is
// trusted only after Lookup found it in the catalogue.
//
// Threads: one object per thread; it keeps one index store object open for
// its life, created on the calling thread (which initialised the library).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/types.h"
#include "shared/itrovixdb.h"

namespace trovix::provider {

inline constexpr std::size_t kMaxQueryUnits = 1000;
inline constexpr std::size_t kMinQueryLetters = 2;
inline constexpr std::size_t kMaxResults = 20;
inline constexpr std::size_t kRankedCandidates = 400;

struct Hit {
  std::string id;  // the catalogue identifier, decimal
  WString path;
  WString name;    // last component
  WString folder;  // the path without its last component, no trailing "/"
};

class DesktopSearch {
 public:
  DesktopSearch();

  // S_OK when the index store is open; otherwise why not.
  [[nodiscard]] HRESULT status() const { return status_; }

  // The best matches for `terms`, best first; empty by rule 2, for no match
  // and on any failure of the store.
  [[nodiscard]] std::vector<Hit> Search(const std::vector<WString>& terms);
  // As Search, restricted to the files of `previous` (result ids; ids that
  // are not numbers are ignored).
  [[nodiscard]] std::vector<Hit> Refine(const std::vector<std::string>& previous,
                                        const std::vector<WString>& terms);
  // The catalogued file of a result id; none for an id that is not a
  // number or names no catalogued file.
  [[nodiscard]] std::optional<Hit> Lookup(const std::string& id);

  // The word query the rules make of `terms`: empty when rule 2 refuses.
  // Exposed for tests.
  [[nodiscard]] WString WordQuery(const std::vector<WString>& terms);

 private:
  [[nodiscard]] std::vector<Hit> Run(const std::vector<WString>& terms,
                                     const std::optional<std::vector<INT>>& within);

  ComInit com_;
  ComPtr<ITrovixDB> store_;
  HRESULT status_ = E_FAIL;
};

// Parses a result id: decimal digits only, a positive 32-bit value.
[[nodiscard]] std::optional<INT> ParseId(const std::string& id);

}  // namespace trovix::provider
