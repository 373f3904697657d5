// A file read front to back in blocks, for parsers that walk a document
// byte by byte without holding more of it than one block.
//
// Reads with pread from an offset of its own, so the descriptor's position
// is neither used nor moved. A read error ends the bytes early and is kept
// in status().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/hresult.h"

namespace docfilter {

// Reads up to `size` bytes at `offset` (retrying interrupted reads): the
// count read, or -1 with errno set.
[[nodiscard]] long ReadAt(int fd, char* buffer, std::size_t size, std::uint64_t offset);

class BlockReader {
 public:
  explicit BlockReader(int fd);

  // The next byte (0..255), or -1 at the end of the file or after an error.
  int Next() {
    if (pos_ == end_ && !Fill()) return -1;
    return static_cast<unsigned char>(buffer_[pos_++]);
  }
  // Gives back the byte the last Next returned; only one at a time.
  void Back() { --pos_; }
  // Passes over `count` bytes without reading them.
  void Skip(std::uint64_t count);
  // S_OK, or the read error that ended the bytes early.
  HRESULT status() const { return status_; }

 private:
  bool Fill();

  int fd_;
  std::unique_ptr<char[]> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  std::uint64_t offset_ = 0;  // file offset of the byte after buffer_[end_ - 1]
  HRESULT status_ = S_OK;
};

}  // namespace docfilter
