// trovix search: the search panel's pipeline without the window.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace trovix::cli {

struct SearchOptions {
  std::vector<std::string> words;  // joined with spaces into the query text
  std::string include = "*";       // patterns separated by ";"
  std::string exclude;             // patterns separated by ";"
  bool long_format = false;        // created, written and size before the path
  bool json = false;               // one JSON object per line
  bool null_separated = false;     // raw paths, each followed by a NUL byte
  bool by_relevance = false;       // best matches first (query/relevance_order.h)
  bool exact_accents = false;      // café and cafe differ (also the "Match Accents" setting)
  bool name_only = false;          // the words of file names only
  // Passages of the text where the words occur, under each of the first
  // `snippet_files` files (also with --long and --json).
  bool snippets = false;
  std::size_t snippet_files = 20;
  // Stdout is a terminal: control characters and bytes that are not UTF-8
  // in names are shown escaped (see TerminalText) instead of raw.
  bool terminal = false;
};

// Parses the words as one query (query/query_language.h; a malformed query
// is an error that names its column), searches it (all files when no word is
// given; an error when words are given but none is searchable nor a filter),
// intersects with the union of the Include patterns, subtracts the Exclude
// patterns, reads the files and prints them sorted by name (or by relevance,
// best first, with `by_relevance`), then the count on
// `err`. The size printed is the file's size on disk now (the catalogue keeps
// only its low 32 bits), the catalogued one when the file is gone. Returns
// the exit status: 0 files matched, 1 none, 2 an error.
int RunSearch(const SearchOptions& options, std::ostream& out, std::ostream& err);

}  // namespace trovix::cli
