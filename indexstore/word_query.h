// Word queries of SearchOpenWord: the split of the query text into tokens,
// the statement each token stands for, the cursors over those statements and
// their intersection.
//
// Every statement delivers file identifiers in ascending order without
// repeats (an explicit `order by`: the engine does not promise sorted
// `distinct` rows), so the intersection is a merge that keeps only the
// identifiers it answers.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace ordalis {

// The 29 characters that separate query words. "*", "+", "-", "_", "%",
// quotes, letters and digits are not among them.
inline constexpr std::u16string_view kQuerySeparators = u" \n\r\t,.\\=`~!@#$^&()|{}[]:;<>?/";

// Longest token that can be searched: 49 units, 46 when it contains "*".
// (Limits callers have long relied on, kept although tokens are now bound
// as parameters and no longer have to fit a fixed statement buffer.)
inline constexpr std::size_t kMaxQueryWordUnits = 49;
inline constexpr std::size_t kMaxQueryPatternUnits = 46;

// The tokens of `text`, in order; empty when it holds separators only.
[[nodiscard]] std::vector<WString> SplitQueryWords(std::u16string_view text);

// Turns a user's text with "*" wildcards into a `like` pattern with escape
// character "\": "\", "%" and "_" are escaped, so they match only themselves,
// and each "*" becomes "%".
[[nodiscard]] WString LikePattern(std::u16string_view text);

// One token's statement. Its parameters: the word or pattern (when
// `word_parameter`), then the lowest file identifier wanted.
struct WordQuery {
  const char* sql = nullptr;
  WString word;  // bound when word_parameter
  bool word_parameter = false;
  // Re-running the statement from a higher lowest identifier costs one index
  // seek (its rows stream in order); false when the engine must sort the
  // rows first, so that the cursor steps forward instead.
  bool seekable = false;
};

// The statement of `token`: "*" every catalogued file, "+" the files with a
// word, "-" the files without one, a token with "*" the files with a word
// matching the pattern, any other token the files with that word (case-blind
// for A-Z). False when the token is too long to be searched. Without
// `check_catalogue` a word or pattern also answers files that left the
// catalogue but not yet the word index (for sets read with ReadResultRows,
// which skips them); "*", "+" and "-" read the catalogue either way.
[[nodiscard]] bool BuildWordQuery(std::u16string_view token, WordQuery* query,
                                  bool check_catalogue = true);

// An open rowset of one token's statement, positioned on a row. The
// statement is the cursor's own: tokens share statement texts, and the
// engine's statement cache hands one statement to all users of a text.
class WordCursor {
 public:
  enum class Seek { kFound, kPassed, kExhausted, kFailed };

  WordCursor(sqlite3* db, WordQuery query) : db_(db), query_(std::move(query)) {}
  ~WordCursor();
  WordCursor(WordCursor&& other) noexcept;
  WordCursor(const WordCursor&) = delete;
  WordCursor& operator=(const WordCursor&) = delete;
  WordCursor& operator=(WordCursor&&) = delete;

  // Prepares and runs the statement and moves to the first row: S_OK (on a
  // row or exhausted), or the engine's failure.
  [[nodiscard]] HRESULT Open();
  [[nodiscard]] bool exhausted() const { return exhausted_; }
  // The identifier of the current row; the cursor must not be exhausted.
  [[nodiscard]] std::int64_t current() const { return current_; }
  // Moves to the next row: false when exhausted or the move failed.
  [[nodiscard]] bool Next();
  // Moves forward to the first row >= `id`: kFound when it equals `id`,
  // kPassed when it is greater (current() tells it), kExhausted when no
  // such row is left, kFailed when a move failed.
  [[nodiscard]] Seek SeekTo(std::int64_t id);

 private:
  // Runs the statement afresh for the rows from `lowest` on.
  [[nodiscard]] HRESULT Execute(std::int64_t lowest);
  [[nodiscard]] HRESULT Step();

  sqlite3* db_;
  WordQuery query_;
  sqlite3_stmt* stmt_ = nullptr;
  std::int64_t current_ = 0;
  bool exhausted_ = true;
};

// The identifiers every cursor holds, ascending. The cursors must be open;
// they are left at arbitrary rows. A failed move ends the merge quietly with
// the identifiers found so far.
[[nodiscard]] std::vector<INT> IntersectCursors(std::vector<WordCursor>& cursors);

// The files holding every token of `tokens` (SplitQueryWords), ascending:
// a cursor per token, intersected. A token too long to search or a
// statement the engine refuses raises the error record (db_exception.h),
// and the cursors opened so far close on the way.
[[nodiscard]] std::vector<INT> MatchWordTokens(sqlite3* db, const std::vector<WString>& tokens,
                                               bool check_catalogue);

}  // namespace ordalis
