// trovix-filterhost: turns one document into framed UTF-16 text on its
// standard output (see frame.h), in a process of its own, so that a parser
// that crashes, loops or swells on a hostile file harms nothing but itself.
//
//   trovix-filterhost [--max-chars=N] [PATH]
//   trovix-filterhost [--max-chars=N] --serve
//
// Without PATH, the path is the first line of standard input. With
// --serve, it answers the requests on standard input (a socket) one after
// the other (see frame.h), each file under the same CPU limit, so that a
// run of files costs one process start; each request brings a descriptor
// open on its file, as the helper may open no user file itself. The text cap
// N (UTF-16 units for the whole file, default 16 Mi) may also come from the
// environment variable TROVIX_FILTERHOST_MAX_CHARS; text beyond it is
// dropped and the end frame says S_FALSE. Exit status 0 once the end frame
// is written, whatever its status; 2 for a bad command line.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// One file to read: its name (which chooses the parser) and a descriptor
// open on it, or the reason there is none.
struct Document {
  std::string path;
  int fd = -1;
  HRESULT status = S_OK;
  Document() = default;
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
  ~Document() { Close(); }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

// Only a regular file is a document (the same checks as the in-process
// filters make).
HRESULT CheckRegular(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return HresultFromErrno(errno);
  return S_ISREG(st.st_mode) ? S_OK : FILTER_E_ACCESS;
}

// Reads the request header, taking the descriptor that travels with its
// first byte (at most one; any other is closed).
bool ReadHeader(RequestHeader* header, int* fd) {
  char* p = reinterpret_cast<char*>(header);
  std::size_t left = sizeof *header;
  while (left > 0) {
    iovec io{p, left};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(STDIN_FILENO, &message, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int received = -1;
        std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
        if (*fd < 0) {
          *fd = received;
        } else {
          close(received);
        }
      }
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// The next request: false at the end of input or on a malformed request
// (the reader is then not one to trust: the helper exits).
bool ReadRequest(Document* document) {
  document->Close();
  RequestHeader header;
  if (!ReadHeader(&header, &document->fd)) return false;
  if (header.magic != kRequestMagic || header.length == 0 || header.length > kMaxRequestPath) {
    return false;
  }
  document->path.resize(header.length);
  if (!ReadAll(document->path.data(), document->path.size())) return false;
  // The file comes only as the descriptor the reader opened: this process
  // may open no user file itself.
  document->status = document->fd >= 0 ? CheckRegular(document->fd) : FILTER_E_ACCESS;
  return true;
}

bool ParseCount(const char* text, std::size_t* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value == 0) return false;
  *out = static_cast<std::size_t>(value);
  return true;
}

void OpenDocument(Document* document) {
  document->fd = open(document->path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  document->status = document->fd >= 0 ? CheckRegular(document->fd) : HresultFromErrno(errno);
}

HRESULT Extract(const Document& document, std::size_t max_chars) {
  const Extractor extract = ExtractorForPath(document.path);
  if (extract == nullptr) return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
  if (FAILED(document.status)) return document.status;
  if (lseek(document.fd, 0, SEEK_SET) != 0) return HresultFromErrno(errno);
  FrameSink sink(max_chars);
  const HRESULT hr = extract(document.fd, &sink);
  if (sink.failed()) return E_ABORT;
  if (FAILED(hr)) return hr;
  return sink.truncated() ? S_FALSE : S_OK;
}

// Extracts one file and answers with its end frame; false when the reader
// is gone.
bool Answer(const Document& document, std::size_t max_chars, const HostLimits& limits) {
  LimitCpuForNextFile(limits);
  HRESULT hr = E_OUTOFMEMORY;
  try {
    hr = Extract(document, max_chars);
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
  Document document;
  std::string& path = document.path;
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
  // A single file is opened before the sandbox closes the file system.
  if (!serve) OpenDocument(&document);
  const HostLimits limits;
  EnterSandbox(limits);
  if (!serve) return Answer(document, max_chars, limits) ? 0 : 1;
  while (ReadRequest(&document)) {
    if (!Answer(document, max_chars, limits)) return 1;
  }
  return 0;
}

}  // namespace
}  // namespace docfilter

int main(int argc, char** argv) { return docfilter::Run(argc, argv); }
