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
};

// Cleans the query, opens the word search (all files when no word is left),
// intersects with the union of the Include patterns, subtracts the Exclude
// patterns, reads the files and prints them sorted by name, then the count on
// `err`. Returns the exit status: 0 files matched, 1 none, 2 an error.
int RunSearch(const SearchOptions& options, std::ostream& out, std::ostream& err);

}  // namespace trovix::cli
