// The query language of `trovix search` and of the desktop search boxes:
// one parser, so that a query means the same wherever it is typed.
//
//   annual report        both words (juxtaposition is AND; "AND" may be written)
//   "annual report"      the words in this order, next to each other
//   budget OR forecast   either word; OR binds tighter than AND
//   -draft, NOT draft    files without the word
//   ( ... )              grouping
//   rep*                 a prefix, as in every word query
//   name:WORD            the word in the file name (name:"two words" a phrase there)
//   ext:pdf              the file name's extension
//   type:KIND            document pdf text web mail ebook spreadsheet
//                        presentation image audio video archive
//   in:~/Projects        files in that folder and below
//   modified:SPAN        today yesterday 7d 2024 2024-03 2024-03-15, and
//                        ranges A..B, A.. and ..B of dates
//   size:RANGE           >10M <100k >=1G <=2k, or A..B (k, M, G: 1024)
//
// Words go to the text analysis only (analysis/query_words.h); nothing of
// them is ever syntax of a statement. A malformed query is an error with the
// column where it went wrong (characters, from 1), never a different search.
//
// Threads: pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace trovix::query {

enum class NodeKind {
  kWord,       // text: the word as typed, with its "*"
  kPhrase,     // text: the words of the phrase
  kName,       // text: a word, or a phrase when `phrase`
  kExtension,  // text: lower case, no dot
  kType,       // text: one of FileKindNames()
  kFolder,     // text: absolute, no trailing "/"
  kModified,   // [low, high) in FILETIME ticks
  kSize,       // [low, high] in bytes
  kAnd,
  kOr,
  kNot,
};

inline constexpr std::int64_t kUnbounded = std::numeric_limits<std::int64_t>::max();

struct QueryNode {
  NodeKind kind = NodeKind::kAnd;
  WString text;
  bool phrase = false;
  std::int64_t low = 0;
  std::int64_t high = kUnbounded;
  std::vector<QueryNode> children;
  std::size_t column = 1;  // where it starts in the query

  bool operator==(const QueryNode& other) const {
    return kind == other.kind && text == other.text && phrase == other.phrase && low == other.low &&
           high == other.high && children == other.children;
  }
};

struct QueryError {
  std::size_t column = 0;  // 1-based, in characters
  std::string message;     // "unclosed quote", without the column
};

struct ParseOptions {
  std::int64_t now = 0;  // Unix seconds: "today" and "7d" count from it (local time)
  WString home;          // what "~" stands for
  // Typing: an unclosed quote or parenthesis is closed at the end, and the
  // last word (outside a quote, or the last of a phrase) matches as a
  // prefix, as the desktop search boxes want while a word is half typed.
  bool as_you_type = false;
  // The most words and filters the query may hold (at most kMaxQueryLeaves).
  std::size_t max_leaves = 1000;
};

// The most words and filters a query may hold, and how deep parentheses nest.
inline constexpr std::size_t kMaxQueryLeaves = 1000;
inline constexpr std::size_t kMaxQueryDepth = 64;

// Options for a query typed now by the user of this process: the time now,
// and "~" for $HOME.
[[nodiscard]] ParseOptions ParseOptionsNow();

// Parses `text`. True and `*root` (an AND of one or more parts; none for an
// empty query); false and `*error` for a malformed query.
[[nodiscard]] bool ParseQuery(std::u16string_view text, const ParseOptions& options,
                              QueryNode* root, QueryError* error);

// The query in this language, which ParseQuery reads back as `node` (dates
// written as dates, sizes in bytes).
[[nodiscard]] WString QueryText(const QueryNode& node);

// "unclosed quote at column 14", and the query with a caret under the
// place, for a terminal.
[[nodiscard]] std::string DescribeError(std::u16string_view text, const QueryError& error);

// A file's time as FILETIME ticks (100 ns since 1601) from Unix seconds.
[[nodiscard]] std::int64_t TicksFromUnix(std::int64_t seconds);

// Local midnight starting the day `days_back` days before the day of
// `now` (Unix seconds), in FILETIME ticks.
[[nodiscard]] std::int64_t DayStart(std::int64_t now, int days_back);

}  // namespace trovix::query
