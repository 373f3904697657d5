// The files `trovix search` found, kept compact for sorting and printing:
// a row of fixed size per file and every path's UTF-8 bytes in one buffer.
// A result of tens of thousands of files then costs a few megabytes and no
// allocation per file.
//
// Invariants:
//  1. Paths are the bytes the catalogue holds (a name that is not UTF-8
//     keeps its bytes); Utf8ToUtf16 of them is the path SearchNext gives.
//  2. The name order is that of the UTF-16 forms, compared unit by unit:
//     the last path component first, then the whole path, then the file
//     identifier. Most paths are ASCII, and a comparison with an ASCII
//     string orders bytes as their UTF-16 units, so only paths that are not
//     ASCII keep a UTF-16 copy, for comparisons between two of them.
//
// Threads: one thread's object.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace trovix::cli {

struct FoundFile {
  INT id = 0;
  std::uint32_t path_at = 0;  // in the buffer of paths
  std::uint32_t path_bytes = 0;
  std::uint32_t name_at = 0;  // the last component, from the path's start
  std::int32_t wide = -1;     // the UTF-16 copy of a path that is not ASCII
  bool name_ascii = true;
  // The name's first 16 bytes, big-endian in two words, up to its first
  // byte that is not ASCII, which reads as 0x80; zeros after the end. Keys
  // that differ order their names as the full comparison would, so a sort
  // compares most pairs with two instructions (names often share a first
  // word: "account_", "IMG_2024", "Screensh").
  std::uint64_t name_key[2] = {0, 0};
  FILETIME creation{};
  FILETIME modification{};
  UINT size_lo32 = 0;
};

class FoundFiles {
 public:
  // Room for `count` files of paths of the usual length: a result of tens
  // of thousands of files then grows its buffers once, not a dozen times
  // with a copy each.
  void Reserve(std::size_t count);
  void Add(INT id, std::string_view path, FILETIME creation, FILETIME modification, UINT size_lo32);
  // Sorts by identifier and keeps the first row of each.
  void KeepOnePerId();
  // Sorts in the name order (invariant 2).
  void SortByName();

  [[nodiscard]] const std::vector<FoundFile>& files() const { return files_; }
  [[nodiscard]] std::vector<FoundFile>& files() { return files_; }
  [[nodiscard]] std::string_view Path(const FoundFile& file) const {
    return std::string_view(bytes_).substr(file.path_at, file.path_bytes);
  }
  [[nodiscard]] std::string_view Name(const FoundFile& file) const {
    return Path(file).substr(file.name_at);
  }
  [[nodiscard]] WString WidePath(const FoundFile& file) const;

  // True when `a` comes before `b` in the name order.
  [[nodiscard]] bool Before(const FoundFile& a, const FoundFile& b) const;

 private:
  std::string bytes_;
  std::vector<FoundFile> files_;
  std::vector<WString> wide_;
};

}  // namespace trovix::cli
