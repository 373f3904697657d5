// The 32-bit checksum the catalogue stores in Files.Checksum, and duplicate
// detection compares together with the size.
#pragma once

#include <cstdint>
#include <string>

namespace ordalis {

// The checksum of the bytes of the regular file at `path` (UTF-8), taken as
// blocks of 4096 bytes from the start: the XOR of every whole little-endian
// 32-bit word of each block, and for a block of n bytes with k = n mod 4 > 0
// (only the last one) the XOR of a word built from its k trailing bytes, each
// taken as a sign-extended signed byte and shifted in from the right, then
// moved up so the first of them lands in the top byte ("abc" gives
// 0x61626300, the byte 0x80 gives 0x80000000).
//
// 0 when the path cannot be opened or is not a regular file (so a FIFO or a
// device is never read, which could block or never end). A read failure ends
// the checksum with the blocks read so far. The file is read through
// to the end while the caller waits; its access time is left alone where the
// caller may do so.
[[nodiscard]] std::uint32_t FileChecksum(const std::string& path);

}  // namespace ordalis
