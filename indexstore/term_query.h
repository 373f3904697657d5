// Term queries of ITrovixTerms (shared/itrovixterms.h): the terms a query
// term stands for, cursors over the files that hold them, and the check that
// a word's terms stand next to each other.
//
// Every cursor delivers file identifiers in ascending order without
// repeats, so that words intersect by a merge (a leapfrog: the cursor that
// jumps farthest sets the target the others seek to) and the result is
// ascending. Cursors raise the error record (db_exception.h) when a move
// fails: a search answers completely or fails, never with part of a result.
//
// Threads: the caller holds the module's critical section for the life of
// the cursors. Statements are the cursors' own.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/query_words.h"
#include "platform/types.h"

namespace ordalis {

class FileCursor {
 public:
  virtual ~FileCursor() = default;
  [[nodiscard]] bool exhausted() const { return exhausted_; }
  // The identifier the cursor stands on; the cursor must not be exhausted.
  [[nodiscard]] std::int64_t current() const { return current_; }
  // Moves to the next identifier; false when there is none.
  virtual bool Next() = 0;
  // Moves forward to the first identifier >= `id` (staying when it is
  // there already); false when there is none.
  virtual bool SeekTo(std::int64_t id) = 0;

 protected:
  std::int64_t current_ = 0;
  bool exhausted_ = true;
};

// How a search compares terms.
struct TermMatching {
  bool exact_accents = false;
  bool name_only = false;
};

// True when the stored term `term` (folded) is one `query` stands for.
[[nodiscard]] bool TermMatches(const trovix::analysis::QueryTerm& query, std::string_view term,
                               const TermMatching& matching);

// The cursor of the files matching `word`: holding each of its terms, and,
// for a word of several terms, holding them at consecutive positions of the
// text or all in the name. Null when some term stands for no stored term
// (no file can match).
[[nodiscard]] std::unique_ptr<FileCursor> OpenWordCursor(sqlite3* db,
                                                         const trovix::analysis::QueryWord& word,
                                                         const TermMatching& matching);

// The cursor of one of the whole-index words: "*" every catalogued file,
// "+" the files with words (in either index), "-" the files without.
[[nodiscard]] std::unique_ptr<FileCursor> OpenWholeIndexCursor(sqlite3* db, char16_t word);

// The identifiers every cursor holds, ascending. Null cursors count as
// empty.
[[nodiscard]] std::vector<INT> IntersectAll(std::vector<std::unique_ptr<FileCursor>> cursors);

// How often the terms `term` stands for occur in the text of each file of
// `files` (added to `*counts`, one per file), and in how many files (at most
// `cap`), for ranking. Answers whether the term stands for a stored term.
[[nodiscard]] bool CountTerm(sqlite3* db, const trovix::analysis::QueryTerm& term,
                             const TermMatching& matching, const std::vector<INT>& files,
                             std::vector<double>* counts, std::int64_t cap,
                             std::int64_t* files_with_term);

// The terms of the file name `name`, folded.
[[nodiscard]] std::vector<std::string> NameTerms(std::u16string_view name);

}  // namespace ordalis
