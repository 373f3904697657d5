// Read-only access to the entries of a zip archive (the container of
// OpenDocument, Office Open XML and EPUB files), with limits that keep a
// hostile archive from inflating without bound.
//
// Invariants: an entry is refused before it is inflated when its declared
// size is above the per-entry limit, or when it is large and its declared
// size is an absurd multiple of its compressed size. While an entry is
// inflated the bytes that actually come out are counted, never trusting
// the declared size: more than declared, more than the per-entry limit, or
// more than the per-archive total ends the read with a failure.
//
// Errors: HRESULT_FROM_WIN32(ERROR_BAD_FORMAT) for a file that is not a zip
// archive, a damaged archive or entry, and an entry over the limits;
// FILTER_E_PASSWORD for an encrypted entry; HRESULT_FROM_WIN32(
// ERROR_FILE_NOT_FOUND) for a name the archive does not hold;
// E_OUTOFMEMORY; HresultFromErrno for read errors.
//
// Threads: one thread at a time.
#pragma once

#include <zip.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/hresult.h"

namespace docfilter {

struct ZipLimits {
  // Declared or inflated bytes of one entry.
  std::uint64_t entry_bytes;
  // Inflated bytes of all entries read from one archive together.
  std::uint64_t total_bytes;
  // Largest declared size / compressed size accepted for an entry of more
  // than `ratio_exempt_bytes` (deflate itself cannot go beyond about 1032).
  std::uint64_t max_ratio;
  std::uint64_t ratio_exempt_bytes;
};

// Real documents stay far below these: XML compresses about ten to one, and
// the helper's address space is 1 GiB.
inline constexpr ZipLimits kDefaultZipLimits{std::uint64_t{256} << 20, std::uint64_t{512} << 20,
                                             200, std::uint64_t{1} << 20};

class ZipArchive {
 public:
  explicit ZipArchive(const ZipLimits& limits = kDefaultZipLimits) : limits_(limits) {}

  // Opens the archive in `fd`, a regular file; `fd` stays the caller's and
  // its offset may move.
  [[nodiscard]] HRESULT Open(int fd);

  // Number of entries (0 before Open succeeds).
  std::uint64_t size() const;
  // The entry's name as UTF-8; empty when there is none.
  std::string Name(std::uint64_t index) const;
  bool Contains(const std::string& name) const;

  // The whole inflated content of an entry.
  [[nodiscard]] HRESULT Read(const std::string& name, std::string* bytes);
  [[nodiscard]] HRESULT ReadIndex(std::uint64_t index, std::string* bytes);

 private:
  struct Discard {
    void operator()(zip_t* zip) const { zip_discard(zip); }
  };
  // The entry's declared size, once it passes the limits and is not encrypted.
  [[nodiscard]] HRESULT Check(std::uint64_t index, std::uint64_t* declared) const;
  [[nodiscard]] HRESULT Inflate(std::uint64_t index, std::uint64_t declared, std::string* bytes);
  bool Find(const std::string& name, std::uint64_t* index) const;

  ZipLimits limits_;
  std::unique_ptr<zip_t, Discard> zip_;
  std::uint64_t inflated_ = 0;  // over every read so far
};

}  // namespace docfilter
