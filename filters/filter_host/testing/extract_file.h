// Test support: a parser run in this process on a file the test wrote, its
// chunks kept (for documents that are not hostile; those go through the
// real helper, see filters/testing/filter_run.h).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter::testing {

struct Extracted {
  HRESULT hr = E_FAIL;
  std::string title;  // the title chunks, UTF-8, joined by line breaks
  std::string text;   // the text chunks the same way
  std::vector<CollectingSink::Chunk> chunks;
  std::size_t text_chunks = 0;
  // The words of `text` (split at white space).
  std::vector<std::string> Words() const;
};

Extracted ExtractFile(HRESULT (*extract)(int, ChunkSink*), const std::string& path,
                      std::size_t max_units = std::size_t{1} << 20);

}  // namespace docfilter::testing
