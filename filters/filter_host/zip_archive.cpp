#include "filters/filter_host/zip_archive.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace docfilter {
namespace {

constexpr HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
constexpr std::size_t kReadBlock = 64 * 1024;
// A declared size is a claim, not a promise: no more than this is set
// aside before the bytes are actually there.
constexpr std::uint64_t kMaxReserve = std::uint64_t{16} << 20;

HRESULT FromZipError(zip_error_t* error) {
  switch (zip_error_code_zip(error)) {
    case ZIP_ER_MEMORY:
      return E_OUTOFMEMORY;
    case ZIP_ER_READ:
    case ZIP_ER_SEEK:
    case ZIP_ER_OPEN: {
      const int system = zip_error_code_system(error);
      return system != 0 ? HresultFromErrno(system) : kBadFormat;
    }
    case ZIP_ER_NOPASSWD:
    case ZIP_ER_WRONGPASSWD:
    case ZIP_ER_ENCRNOTSUPP:
      return FILTER_E_PASSWORD;
    case ZIP_ER_NOENT:
      return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    default:
      return kBadFormat;  // not a zip archive, inconsistent, bad compressed data, CRC
  }
}

HRESULT FromZipCode(int code) {
  zip_error_t error;
  zip_error_init_with_code(&error, code);
  const HRESULT hr = FromZipError(&error);
  zip_error_fini(&error);
  return hr;
}

struct FileCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using FilePtr = std::unique_ptr<zip_file_t, FileCloser>;

}  // namespace

HRESULT ZipArchive::Open(int fd) {
  const int copy = dup(fd);
  if (copy < 0) return HresultFromErrno(errno);
  int code = ZIP_ER_OK;
  zip_t* zip = zip_fdopen(copy, 0, &code);
  if (zip == nullptr) {
    close(copy);  // libzip takes the descriptor over only on success
    return FromZipCode(code);
  }
  zip_.reset(zip);
  inflated_ = 0;
  return S_OK;
}

std::uint64_t ZipArchive::size() const {
  if (zip_ == nullptr) return 0;
  const zip_int64_t count = zip_get_num_entries(zip_.get(), 0);
  return count > 0 ? static_cast<std::uint64_t>(count) : 0;
}

std::string ZipArchive::Name(std::uint64_t index) const {
  const char* name = zip_ != nullptr ? zip_get_name(zip_.get(), index, 0) : nullptr;
  return name != nullptr ? name : "";
}

bool ZipArchive::Find(const std::string& name, std::uint64_t* index) const {
  if (zip_ == nullptr) return false;
  // Office Open XML part names ignore case; an exact match goes first.
  zip_int64_t found = zip_name_locate(zip_.get(), name.c_str(), 0);
  if (found < 0) found = zip_name_locate(zip_.get(), name.c_str(), ZIP_FL_NOCASE);
  if (found < 0) return false;
  *index = static_cast<std::uint64_t>(found);
  return true;
}

bool ZipArchive::Contains(const std::string& name) const {
  std::uint64_t index = 0;
  return Find(name, &index);
}

HRESULT ZipArchive::Read(const std::string& name, std::string* bytes) {
  std::uint64_t index = 0;
  if (!Find(name, &index)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  return ReadIndex(index, bytes);
}

HRESULT ZipArchive::Check(std::uint64_t index, std::uint64_t* declared) const {
  zip_stat_t st;
  zip_stat_init(&st);
  if (zip_stat_index(zip_.get(), index, 0, &st) != 0)
    return FromZipError(zip_get_error(zip_.get()));
  constexpr zip_uint64_t kNeeded = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_ENCRYPTION_METHOD;
  if ((st.valid & kNeeded) != kNeeded) return kBadFormat;
  if (st.encryption_method != ZIP_EM_NONE) return FILTER_E_PASSWORD;
  if (st.size > limits_.entry_bytes) return kBadFormat;
  if (st.size > limits_.ratio_exempt_bytes && st.size / limits_.max_ratio > st.comp_size) {
    return kBadFormat;  // a compression bomb
  }
  *declared = st.size;
  return S_OK;
}

HRESULT ZipArchive::ReadIndex(std::uint64_t index, std::string* bytes) {
  bytes->clear();
  if (zip_ == nullptr || index >= size()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  std::uint64_t declared = 0;
  HRESULT hr = Check(index, &declared);
  if (FAILED(hr)) return hr;
  try {
    hr = Inflate(index, declared, bytes);
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  }
  if (FAILED(hr)) bytes->clear();
  return hr;
}

HRESULT ZipArchive::Inflate(std::uint64_t index, std::uint64_t declared, std::string* bytes) {
  const FilePtr file(zip_fopen_index(zip_.get(), index, 0));
  if (file == nullptr) return FromZipError(zip_get_error(zip_.get()));
  // Check() has put `declared` within the entry limit.
  bytes->reserve(static_cast<std::size_t>(std::min(declared, kMaxReserve)));
  char block[kReadBlock];
  for (;;) {
    // Never asks for more than one byte beyond the declared size: a lie is
    // caught without inflating further.
    const std::uint64_t wanted =
        std::min<std::uint64_t>(sizeof block, declared - bytes->size() + 1);
    const zip_int64_t n = zip_fread(file.get(), block, wanted);
    if (n < 0) return FromZipError(zip_file_get_error(file.get()));
    if (n == 0) return S_OK;
    const auto count = static_cast<std::uint64_t>(n);
    inflated_ += count;
    // More than declared means the header lies (a bomb in disguise).
    if (bytes->size() + count > declared || inflated_ > limits_.total_bytes) return kBadFormat;
    bytes->append(block, static_cast<std::size_t>(count));
  }
}

}  // namespace docfilter
