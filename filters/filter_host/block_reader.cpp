#include "filters/filter_host/block_reader.h"

#include <unistd.h>

#include <cerrno>
#include <limits>

namespace docfilter {
namespace {

constexpr std::size_t kBlockSize = 64 * 1024;

}  // namespace

long ReadAt(int fd, char* buffer, std::size_t size, std::uint64_t offset) {
  for (;;) {
    const ssize_t n = pread(fd, buffer, size, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

BlockReader::BlockReader(int fd) : fd_(fd), buffer_(new char[kBlockSize]) {}

void BlockReader::Skip(std::uint64_t count) {
  const std::size_t buffered = end_ - pos_;
  if (count <= buffered) {
    pos_ += static_cast<std::size_t>(count);
    return;
  }
  pos_ = end_;
  count -= buffered;
  // A count beyond any real file size only has to reach the end.
  const std::uint64_t room = std::numeric_limits<std::int64_t>::max() - offset_;
  offset_ += count < room ? count : room;
}

bool BlockReader::Fill() {
  if (FAILED(status_)) return false;
  const long n = ReadAt(fd_, buffer_.get(), kBlockSize, offset_);
  if (n < 0) status_ = HresultFromErrno(errno);
  if (n <= 0) return false;
  pos_ = 0;
  end_ = static_cast<std::size_t>(n);
  offset_ += end_;
  return true;
}

}  // namespace docfilter
