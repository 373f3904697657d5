#include "indexstore/checksum.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>

namespace ordalis {
namespace {

constexpr std::size_t kBlock = 4096;
// Reads are batched into larger buffers to cut system calls; the checksum
// still sees the same sequence of 4096-byte blocks, since only the last block
// of a file can be short.
constexpr std::size_t kMaxBuffer = 64 * kBlock;

// XOR of the 32-bit words of one full block. The fixed trip count lets the
// compiler vectorise the loop; two words are folded at a time.
std::uint32_t XorFullBlock(const unsigned char* block) {
  std::uint64_t wide = 0;
  for (std::size_t i = 0; i < kBlock; i += sizeof wide) {
    std::uint64_t word;
    std::memcpy(&word, block + i, sizeof word);
    wide ^= word;
  }
  // XOR commutes with the byte swap, so one swap of the sum suffices.
  if constexpr (std::endian::native == std::endian::big) wide = __builtin_bswap64(wide);
  return static_cast<std::uint32_t>(wide) ^ static_cast<std::uint32_t>(wide >> 32);
}

std::uint32_t LoadLittleEndian(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// A short block: its whole words, then its k trailing bytes through the tail
// accumulator `t`. Whatever `t` held before is shifted out by the 4 byte
// shifts every block makes, so carrying it over the file changes nothing.
std::uint32_t XorShortBlock(const unsigned char* block, std::size_t n, std::uint32_t& t) {
  std::uint32_t x = 0;
  const std::size_t words = n / 4;
  for (std::size_t i = 0; i < words; ++i) x ^= LoadLittleEndian(block + 4 * i);
  const std::size_t k = n % 4;
  for (std::size_t i = 0; i < k; ++i) {
    const auto byte = static_cast<std::int8_t>(block[4 * words + i]);
    t = (t << 8) + static_cast<std::uint32_t>(static_cast<std::int32_t>(byte));
  }
  for (std::size_t i = 0; i < 4 - k; ++i) t <<= 8;
  return x ^ t;
}

// Fills `buffer` from `fd` until it is full, the file ends or a read fails;
// returns the bytes read and sets `*more` when the file may go on.
std::size_t Fill(int fd, unsigned char* buffer, std::size_t size, bool* more) {
  std::size_t filled = 0;
  *more = true;
  while (filled < size) {
    const ssize_t got = read(fd, buffer + filled, size - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *more = false;
      break;
    }
    filled += static_cast<std::size_t>(got);
  }
  return filled;
}

int OpenForChecksum(const std::string& path) {
  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it does
  // nothing to reads of a regular file.
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  int fd = open(path.c_str(), kFlags | O_NOATIME);
  // O_NOATIME is allowed only on files the caller owns.
  if (fd < 0 && errno == EPERM) fd = open(path.c_str(), kFlags);
  return fd;
}

}  // namespace

std::uint32_t FileChecksum(const std::string& path) {
  const int fd = OpenForChecksum(path);
  if (fd < 0) return 0;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return 0;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // Room for the whole of a small file and one more block, so its end is
  // seen in one pass; the size is only a hint (the file may change).
  const auto expected = static_cast<std::size_t>(std::max<off_t>(st.st_size, 0));
  const std::size_t size = std::min(kMaxBuffer, (expected / kBlock + 1) * kBlock);
  const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(size);
  std::uint32_t x = 0;
  std::uint32_t t = 0;
  for (bool more = true; more;) {
    const std::size_t n = Fill(fd, buffer.get(), size, &more);
    std::size_t offset = 0;
    for (; offset + kBlock <= n; offset += kBlock) x ^= XorFullBlock(buffer.get() + offset);
    if (offset < n) x ^= XorShortBlock(buffer.get() + offset, n - offset, t);
  }
  close(fd);
  return x;
}

}  // namespace ordalis
