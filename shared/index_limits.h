// Limits of what the index store takes in, known to every program that
// reports on them.
#pragma once

#include <cstdint>

namespace trovix {

// A file larger than this many bytes is catalogued but none of its words is
// read.
inline constexpr std::uint64_t kMaxIndexedFileSize = 104857600;  // 100 MiB

// The longest path, in UTF-16 units, the catalogue holds.
inline constexpr std::size_t kMaxCataloguedPathUnits = 259;

}  // namespace trovix
