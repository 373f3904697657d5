// Limits of what the index store takes in, known to every program that
// reports on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace trovix {

// A file larger than this many bytes is catalogued but none of its words is
// read.
inline constexpr std::uint64_t kMaxIndexedFileSize = 104857600;  // 100 MiB

// The longest path the catalogue holds, in bytes of its form on disk:
// PATH_MAX (4,096) less the terminator. The kernel takes no longer path in
// one piece, so a longer one could be neither read nor opened by name.
inline constexpr std::size_t kMaxCataloguedPathBytes = 4095;

// Whether the catalogue holds a path of `os_path`'s bytes.
[[nodiscard]] constexpr bool FitsCatalogue(std::string_view os_path) {
  return os_path.size() <= kMaxCataloguedPathBytes;
}

}  // namespace trovix
