// The steps of a search that every front end takes the same way: the search
// panel, `trovix search` and the desktop search provider. Each step talks to
// the index store through ITrovixDB only.
//
//   1. OpenTerms       the files holding every word of the query text, by the
//                      text analysis the index was made with. (CleanQuery
//                      and OpenWords, or OpenWordsToReadWhole for a set read
//                      in one call: the same by the rules of the word index.)
//   3. SplitPatterns   an Include or Exclude list cut at ";".
//   4. OpenPatternUnion  the files any pattern of a list selects.
//   5. Combine         (words ∩ include) − exclude.
//   6. ReadPassages    the passages of a found file where the words occur.
//
// Result sets are named by handles of the process-wide table of
// shared/search_result.h; ResultHandle owns one. Everything here runs on the
// caller's thread, which has initialised the component library; a handle is
// used by one thread at a time.
#pragma once

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/types.h"

struct ITrovixDB;

namespace trovix::query {

// Owns one result set and closes it when destroyed or replaced; 0 is none.
// Closing goes to the shared table directly rather than through the store,
// so a set may outlive the store object (and module) that opened it.
class ResultHandle {
 public:
  ResultHandle() = default;
  explicit ResultHandle(UINT handle) : handle_(handle) {}
  ~ResultHandle() { reset(); }
  ResultHandle(ResultHandle&& other) noexcept : handle_(other.release()) {}
  ResultHandle& operator=(ResultHandle&& other) noexcept;
  ResultHandle(const ResultHandle&) = delete;
  ResultHandle& operator=(const ResultHandle&) = delete;

  void reset();
  UINT release();
  [[nodiscard]] UINT get() const { return handle_; }
  // For the store's opening methods: the old set is closed first.
  UINT* put();

 private:
  UINT handle_ = 0;
};

// A new set of the caller's own holding `ids`; none when it cannot be
// registered (memory).
[[nodiscard]] std::optional<ResultHandle> MakeResult(std::vector<INT> ids);

// The identifiers of the set `handle`, which is then closed (through the
// store). None when the handle names no set.
[[nodiscard]] std::optional<std::vector<INT>> TakeIds(ITrovixDB* store, UINT handle);

// The identifiers of an open set, left open. Empty for a handle naming none.
[[nodiscard]] std::vector<INT> IdsOf(UINT handle);

// QueryCleanup of `text`: separators become single spaces and what no search
// can find goes. S_OK and `*cleaned` (possibly empty); the store's failure
// otherwise, `*cleaned` untouched.
[[nodiscard]] HRESULT CleanQuery(ITrovixDB* store, std::u16string_view text, WString* cleaned);

// The files holding every word of the cleaned query `cleaned`; an empty query
// selects every catalogued file. S_OK with `*result` set; S_FALSE when the
// store finds no word in it (`*result` none); the store's failure otherwise.
[[nodiscard]] HRESULT OpenWords(ITrovixDB* store, const WString& cleaned, ResultHandle* result);

// OpenWords for a set that is then read whole with ReadResultRows
// (shared/itrovixresultrows.h): when the store offers that interface, the
// words are opened with SearchOpenWordCandidates, whose set may also hold
// files no longer catalogued, which that reading skips; otherwise, and for
// an empty query, as OpenWords.
[[nodiscard]] HRESULT OpenWordsToReadWhole(ITrovixDB* store, const WString& cleaned,
                                           ResultHandle* result);

// The term search flags (shared/itrovixterms.h) that the user's settings
// ask for: kTermsExactAccents when "Match Accents" is set.
[[nodiscard]] UINT SettingsTermFlags();

// The files matching the query `text` by the store's term search
// (shared/itrovixterms.h), with `flags`; a store without it is asked with
// the words QueryCleanup leaves, by OpenWords. With `to_read_whole` the set
// is opened for ReadResultRows when the store offers it (kTermsCandidates:
// it may also hold files no longer catalogued, which that reading skips).
// S_OK with `*result` set; S_FALSE when the text holds no searchable word
// (`*result` none); the store's failure otherwise.
[[nodiscard]] HRESULT OpenTerms(ITrovixDB* store, std::u16string_view text, UINT flags,
                                bool to_read_whole, ResultHandle* result);

// The patterns of a list: cut at ";", several semicolons in a row count as
// one and empty pieces are skipped.
[[nodiscard]] std::vector<WString> SplitPatterns(std::u16string_view list);

// Ascending union of several identifier lists. An identifier in several
// lists stays once per list: the combining methods read it the same way.
[[nodiscard]] std::vector<INT> Union(std::vector<std::vector<INT>> lists);

// The union of the files each of `patterns` selects (SearchOpenFileType with
// the pattern as typed; the store expands and normalises it). When
// `cleaned_forms` is given it receives each pattern's normalised form
// (SearchCleanupFileQry), in order. On a failure the answer is the store's
// code, `*failed_at` (if given) the index of the pattern, and nothing stays
// open. An empty list answers S_OK with an empty set.
[[nodiscard]] HRESULT OpenPatternUnion(ITrovixDB* store, const std::vector<WString>& patterns,
                                       ResultHandle* result,
                                       std::vector<WString>* cleaned_forms = nullptr,
                                       std::size_t* failed_at = nullptr);

// (word ∩ include) − exclude through the store's combining methods. With no
// `include` the word set is taken whole (it holds catalogued files only, so
// an include of every file would change nothing). A handle of 0 reads as the
// empty set, so a missing include or exclude result yields no files. The
// store's failure code, or S_OK with `*result` set.
[[nodiscard]] HRESULT Combine(ITrovixDB* store, UINT word, std::optional<UINT> include,
                              UINT exclude, ResultHandle* result);

// A passage of a file's text where a query's words occur.
struct Passage {
  WString text;
  std::vector<std::pair<UINT, UINT>> marks;  // [from, to) in units of `text`, ascending, apart
};

// Up to `count` passages of the file `path` for the words `query` (the term
// search's grammar) under the term search `flags`, through the store's
// snippets (shared/itrovixsnippets.h), into `*passages`. S_OK with one or
// more; S_FALSE for none (`*passages` empty); E_NOINTERFACE for a store
// without snippets; the store's or the file's failure otherwise.
[[nodiscard]] HRESULT ReadPassages(ITrovixDB* store, const WString& query, UINT flags,
                                   const WString& path, UINT count,
                                   std::vector<Passage>* passages);

}  // namespace trovix::query
