// Test support: zip archives written with libzip, and byte patches that
// make them lie, for the tests of the zip-based document formats.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace docfilter::testing
