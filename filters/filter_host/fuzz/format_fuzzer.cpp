// libFuzzer entry for the parser of one file extension, chosen at build
// time by TROVIX_FUZZ_EXTENSION: the input is handed to it as a file (a
// memfd), as trovix-filterhost hands over a document. Finds crashes, hangs and memory
// errors that hostile documents could trigger in the helper.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "filters/filter_host/chunk_sink.h"
#include "filters/filter_host/formats.h"

namespace {

// Writes the whole input; false if the memfd could not take it.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("document", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (WriteAll(fd, data, size) && lseek(fd, 0, SEEK_SET) == 0) {
    // A cap well below the helper's keeps a run fast; the cap's own logic
    // is still exercised by inputs that reach it.
    docfilter::CollectingSink sink(std::size_t{1} << 20);
    (void)docfilter::ExtractorForPath("input." TROVIX_FUZZ_EXTENSION)(fd, &sink);
  }
  close(fd);
  return 0;
}
