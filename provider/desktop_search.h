// The desktop search boxes' questions answered from the index: search as the
// user types, refine a previous answer, and look a file up by its result id.
//
// As-you-type rules:
//  1. The terms are joined with spaces into one query of the query
//     language (query/query_language.h: phrases, OR, NOT, the filters),
//     parsed as typed: an unclosed quote or parenthesis is closed at the
//     end. Its words go through the store's term search
//     (shared/itrovixterms.h) and its text analysis; nothing of them
//     reaches a statement as syntax. At most kMaxQueryUnits of input are
//     read; the rest is ignored.
//  2. Fewer than kMinQueryLetters characters (spaces not counted), a
//     malformed query, more than kMaxTypedParts words and filters, a query without a word that must
//     be present (only filters, only NOT), and the whole-index words "*", "+" and "-" → no results.
//  3. Words without a searchable term (a lone letter, punctuation) are left
//     out. The word being typed, the last one when the text does not end
//     in a space, matches as a prefix ("budg" finds "budget"); every other
//     word must match whole. A word the user typed with "*" stays a
//     pattern.
//  4. The answer is ranked best first (query/relevance_order.h) and holds at
//     most kMaxResults files. When more than kRankedCandidates files match,
//     only the kRankedCandidates most recently catalogued (highest
//     identifiers) are ranked: the bound that keeps a keystroke cheap on a
//     large index.
//
// Snippets: AddSnippets gives hits the passages of their text where the
// last query's words occur (shared/itrovixsnippets.h), within a time
// budget per call, so that a keystroke never waits for a slow document;
// the hits it had no time for keep no snippet.
//
// A result id is the file's catalogue identifier in decimal. An id is
// trusted only after Lookup found it in the catalogue.
//
// Threads: one object per thread; it keeps one index store object open for
// its life, created on the calling thread (which initialised the library).
#pragma once

#include <chrono>
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
// More words, phrases and filters than this are no query typed into a
// search box (rule 2): each costs a term search, and a phrase a check of
// positions in every file that holds its words.
inline constexpr std::size_t kMaxTypedParts = 16;
inline constexpr std::size_t kRankedCandidates = 400;
// With filters, OR or NOT, rows decide: this many candidates (the most
// recently catalogued) are read and tested, of which the kRankedCandidates
// last accepted are ranked.
inline constexpr std::size_t kTestedCandidates = 20000;
inline constexpr std::chrono::milliseconds kSnippetBudget{20};

struct Hit {
  std::string id;  // the catalogue identifier, decimal
  WString path;
  WString name;     // last component
  WString folder;   // the path without its last component, no trailing "/"
  WString snippet;  // the passage of the text where the words occur; empty when none
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

  // Sets the snippet of each of `hits`, in order, for the words of the last
  // Search or Refine, until `budget` has passed.
  void AddSnippets(std::vector<Hit>* hits, std::chrono::milliseconds budget);

 private:
  [[nodiscard]] std::vector<Hit> Run(const std::vector<WString>& terms,
                                     const std::optional<std::vector<INT>>& within);

  ComInit com_;
  ComPtr<ITrovixDB> store_;
  HRESULT status_ = E_FAIL;
  WString snippet_query_;  // the words of the last search, for AddSnippets
  UINT snippet_flags_ = 0;
};

// Parses a result id: decimal digits only, a positive 32-bit value.
[[nodiscard]] std::optional<INT> ParseId(const std::string& id);

}  // namespace trovix::provider
