// Test support: zip archives written with libzip, and byte patches that
// make them lie, for the tests of the zip-based document formats.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter::testing {

struct ZipEntry {
  std::string name;
  std::string bytes;
  bool stored = false;  // not compressed (an ODF or EPUB mimetype)
};

// Writes the entries in this order into a new archive at `path`.
void WriteZip(const std::string& path, const std::vector<ZipEntry>& entries);

// The local and central headers of entry `name` in the archive bytes
// `zip`; both patches fail the test (and change nothing) when the entry is
// not found in both places.
// Sets the general-purpose flag bits `flags` (bit 0: encrypted).
void SetEntryFlags(std::string* zip, std::string_view name, std::uint16_t flags);
// Makes both headers claim an uncompressed size of `size` bytes.
void SetDeclaredSize(std::string* zip, std::string_view name, std::uint32_t size);

// What an extractor gave for a file, run in this process.
struct Extracted {
  HRESULT hr = E_FAIL;
  std::string title;  // the title chunks, UTF-8, joined by line breaks
  std::string text;   // the text chunks the same way
  std::size_t text_chunks = 0;
  // The words of `text` (split at white space).
  std::vector<std::string> Words() const;
};
Extracted ExtractFile(HRESULT (*extract)(int, ChunkSink*), const std::string& path,
                      std::size_t max_units = std::size_t{1} << 20);

}  // namespace docfilter::testing
