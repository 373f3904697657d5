// trovix-filterhost: turns one document into framed UTF-16 text on its
// standard output (see frame.h), in a process of its own, so that a parser
// that crashes, loops or swells on a hostile file harms nothing but itself.
//
//   trovix-filterhost [--max-chars=N] [PATH]
//   trovix-filterhost [--max-chars=N] --serve
//
// Without PATH, the path is the first line of standard input. With
// --serve, it answers the requests on standard input one after the other
// (see frame.h), each file under the same CPU limit, so that a run of
// files costs one process start. The text cap
// N (UTF-16 units for the whole file, default 16 Mi) may also come from the
// environment variable TROVIX_FILTERHOST_MAX_CHARS; text beyond it is
// dropped and the end frame says S_FALSE. Exit status 0 once the end frame
// is written, whatever its status; 2 for a bad command line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <new>
#include <string>

#include "filters/filter_host/chunk_sink.h"
#include "filters/filter_host/formats.h"
#include "filters/filter_host/frame.h"
#include "filters/filter_host/sandbox.h"

namespace docfilter {
namespace {

constexpr std::size_t kDefaultMaxChars = std::size_t{16} << 20;

bool WriteAll(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(STDOUT_FILENO, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Writes each chunk as frames to standard output, none ending inside a
// surrogate pair.
class FrameSink : public ChunkSink {
 public:
  using ChunkSink::ChunkSink;

 protected:
  bool Deliver(std::uint32_t id, ChunkKind kind, std::u16string_view text) override {
    const std::uint16_t flags = kind == ChunkKind::kTitle ? kFlagText | kFlagTitle : kFlagText;
    while (!text.empty()) {
      std::size_t count = std::min<std::size_t>(text.size(), kMaxFrameUnits);
      if (count < text.size() && text[count - 1] >= 0xD800 && text[count - 1] <= 0xDBFF) --count;
      FrameHeader header;
      header.type = kFrameText;
      header.flags = flags;
      header.chunk_id = id;
      header.length = static_cast<std::uint32_t>(count);
      if (!WriteAll(&header, sizeof header) || !WriteAll(text.data(), count * sizeof(char16_t))) {
        return false;
      }
      text.remove_prefix(count);
    }
    return true;
  }
};

bool WriteEnd(HRESULT status) {
  FrameHeader header;
  header.type = kFrameEnd;
  header.status = status;
  return WriteAll(&header, sizeof header);
}

bool ReadAll(void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = read(STDIN_FILENO, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The next request's path; false at the end of input or on a malformed
// request (the reader is then not one to trust: the helper exits).
bool ReadRequest(std::string* path) {
  RequestHeader header;
  if (!ReadAll(&header, sizeof header)) return false;
  if (header.magic != kRequestMagic || header.length == 0 || header.length > kMaxRequestPath) {
    return false;
  }
  path->resize(header.length);
  return ReadAll(path->data(), path->size());
}

bool ParseCount(const char* text, std::size_t* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value == 0) return false;
  *out = static_cast<std::size_t>(value);
  return true;
}

// Same checks as the in-process filters: only a regular file is a document.
HRESULT OpenDocument(const std::string& path, int* fd) {
  *fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (*fd < 0) return HresultFromErrno(errno);
  struct stat st {};
  if (fstat(*fd, &st) != 0) return HresultFromErrno(errno);
  if (!S_ISREG(st.st_mode)) return FILTER_E_ACCESS;
  return S_OK;
}

HRESULT Extract(const std::string& path, std::size_t max_chars) {
  const Extractor extract = ExtractorForPath(path);
  if (extract == nullptr) return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
  int fd = -1;
  HRESULT hr = OpenDocument(path, &fd);
  FrameSink sink(max_chars);
  if (SUCCEEDED(hr)) hr = extract(fd, &sink);
  if (fd >= 0) close(fd);
  if (sink.failed()) return E_ABORT;
  if (FAILED(hr)) return hr;
  return sink.truncated() ? S_FALSE : S_OK;
}

// Extracts one file and answers with its end frame; false when the reader
// is gone.
bool Answer(const std::string& path, std::size_t max_chars, const HostLimits& limits) {
  LimitCpuForNextFile(limits);
  HRESULT hr = E_OUTOFMEMORY;
  try {
    hr = Extract(path, max_chars);
  } catch (const std::bad_alloc&) {
  }
  // The reader stopped listening: nobody is left to tell.
  return hr != E_ABORT && WriteEnd(hr);
}

int Run(int argc, char** argv) {
  std::size_t max_chars = kDefaultMaxChars;
  if (const char* env = std::getenv("TROVIX_FILTERHOST_MAX_CHARS"); env != nullptr && *env != 0) {
    if (!ParseCount(env, &max_chars)) return 2;
  }
  std::string path;
  bool serve = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--max-chars=", 0) == 0) {
      if (!ParseCount(arg.c_str() + 12, &max_chars)) return 2;
    } else if (arg == "--serve") {
      serve = true;
    } else if (path.empty() && !arg.empty() && arg[0] != '-') {
      path = arg;
    } else {
      return 2;
    }
  }
  if (serve && !path.empty()) return 2;
  if (!serve && path.empty() && !std::getline(std::cin, path)) return 2;
  const HostLimits limits;
  EnterSandbox(limits);
  if (!serve) return Answer(path, max_chars, limits) ? 0 : 1;
  while (ReadRequest(&path)) {
    if (!Answer(path, max_chars, limits)) return 1;
  }
  return 0;
}

}  // namespace
}  // namespace docfilter

int main(int argc, char** argv) { return docfilter::Run(argc, argv); }
