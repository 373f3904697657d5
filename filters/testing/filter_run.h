// Runs a file through the document filter and its real trovix-filterhost
// the way the index store reads it (pieces of at most 4095 units), for
// tests of every document format. Hostile files go through here: whatever
// the parser does, it does in the helper process, not in the test.
#pragma once

#include <string>
#include <vector>

#include "filters/doc_filter.h"

namespace docfilter::testing {

// The helper built beside the tests.
std::string BuiltHost();

struct FilteredChunk {
  bool title = false;
  std::string text;  // UTF-8
};

struct FilterRun {
  HRESULT load = E_FAIL;
  HRESULT end = S_OK;  // GetChunk's last answer
  std::vector<FilteredChunk> chunks;
  std::vector<ULONG> pieces;  // sizes of every piece handed out
  // The text chunks joined, without the line break that ends each.
  std::string Body() const;
  // The title chunks joined the same way.
  std::string Title() const;
};

FilterRun RunFilter(const std::string& path, HelperSettings settings = {BuiltHost()});

// RunFilter for a hostile file: fails the test unless the file loads and
// its run ends with text or a failure code of the parser, not with the
// helper dead, out of a limit or out of time. (No wall-clock check: the
// helper runs in the idle class and may wait long on a busy machine; a
// parser that loops meets its CPU limit and shows as E_FAIL.)
FilterRun RunHostileFilter(const std::string& path);

}  // namespace docfilter::testing
