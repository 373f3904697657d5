#include "filters/doc_filter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "platform/reg_key.h"
#include "platform/wstring.h"
#include "shared/filter_ids.h"
#include "shared/registry_keys.h"

namespace docfilter {
namespace {

// Load's answers match the plain-text filter's, so a reader sees the same
// codes for a missing or special file whatever its type.
HRESULT CheckRegularFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return HresultFromErrno(errno);
  struct stat st {};
  HRESULT hr = S_OK;
  if (fstat(fd, &st) != 0) {
    hr = HresultFromErrno(errno);
  } else if (S_ISDIR(st.st_mode)) {
    hr = HresultFromErrno(EISDIR);
  } else if (!S_ISREG(st.st_mode)) {
    hr = FILTER_E_ACCESS;
  }
  close(fd);
  return hr;
}

bool AsksFor(ULONG count, const FULLPROPSPEC* attributes, const GUID& set, PROPID id) {
  if (count == 0) return true;
  return std::any_of(attributes, attributes + count, [&](const FULLPROPSPEC& a) {
    return a.guidPropSet == set && a.psProperty.ulKind == PRSPEC_PROPID &&
           a.psProperty.propid == id;
  });
}

constexpr bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

HelperSettings InstalledHelper() {
  HelperSettings settings;
  if (const char* env = std::getenv("TROVIX_FILTERHOST"); env != nullptr && *env != 0) {
    settings.program = env;
    return settings;
  }
  RegKey key;
  WString bin;
  if (RegKey::Open(HKEY_CURRENT_USER, trovix::keys::kTrovix, &key) == ERROR_SUCCESS &&
      key.GetString(trovix::keys::kBinPath, &bin) == ERROR_SUCCESS && !bin.empty()) {
    settings.program = Utf16ToUtf8(bin) + "trovix-filterhost";
  }
  return settings;
}

DocFilter* DocFilter::Create(std::atomic<long>* module_objects, HelperSettings settings) {
  return new (std::nothrow) DocFilter(module_objects, std::move(settings));
}

DocFilter::DocFilter(std::atomic<long>* module_objects, HelperSettings settings)
    : FilterObject(module_objects, trovix::CLSID_DocFilter), settings_(std::move(settings)) {}

HRESULT DocFilter::Load(const WCHAR* pszFileName, DWORD dwMode) {
  if (pszFileName == nullptr) return E_INVALIDARG;
  if ((dwMode & (STGM_WRITE | STGM_READWRITE)) != 0) return E_INVALIDARG;
  helper_.Stop();
  initialised_ = false;
  path_.clear();
  const std::string path = ToUtf8(pszFileName);
  HRESULT hr = CheckRegularFile(path);
  if (SUCCEEDED(hr)) {
    path_ = path;
    hr = StartHelper();
  }
  if (FAILED(hr)) path_.clear();
  return hr;
}

HRESULT DocFilter::StartHelper() {
  end_status_ = S_OK;
  read_from_helper_ = false;
  frame_pending_ = false;
  helper_chunk_ = 0;
  chunk_flags_ = 0;
  chunk_id_ = 0;
  chunk_done_ = true;
  delivered_ = 0;
  text_.clear();
  if (settings_.program.empty()) return HresultFromErrno(ENOENT);
  return helper_.Start(settings_.program, {path_}, settings_.budget);
}

HRESULT DocFilter::Init(ULONG, ULONG cAttributes, const FULLPROPSPEC* aAttributes, ULONG* pFlags) {
  if (pFlags == nullptr) return E_INVALIDARG;
  *pFlags = 0;  // no property sets to read beside the text
  if (cAttributes > 0 && aAttributes == nullptr) return E_INVALIDARG;
  if (path_.empty()) return E_UNEXPECTED;
  want_body_ = AsksFor(cAttributes, aAttributes, PSGUID_STORAGE, PID_STG_CONTENTS);
  want_title_ = AsksFor(cAttributes, aAttributes, FMTID_SummaryInformation, PIDSI_TITLE);
  initialised_ = false;
  // A helper's output is read once: starting over takes a new helper.
  if (read_from_helper_) {
    const HRESULT hr = StartHelper();
    if (FAILED(hr)) return hr;
  }
  initialised_ = true;
  return S_OK;
}

void DocFilter::End(HRESULT status) {
  end_status_ = status;
  helper_.Stop();
}

HRESULT DocFilter::ReadFrame() {
  read_from_helper_ = true;
  HRESULT hr = helper_.Read(&header_, sizeof header_);
  if (SUCCEEDED(hr) && !IsWellFormed(header_)) hr = FILTER_E_ACCESS;
  const bool same_chunk = header_.chunk_id == helper_chunk_;
  if (SUCCEEDED(hr) && header_.type == kFrameText &&
      (header_.chunk_id < helper_chunk_ || (same_chunk && header_.flags != chunk_flags_))) {
    hr = FILTER_E_ACCESS;  // chunks out of order, or one chunk changing its kind
  }
  if (SUCCEEDED(hr) && header_.type == kFrameEnd) {
    hr = SUCCEEDED(header_.status) ? FILTER_E_END_OF_CHUNKS : header_.status;
  }
  if (SUCCEEDED(hr)) {
    text_.resize(header_.length);
    hr = helper_.Read(text_.data(), text_.size() * sizeof(char16_t));
  }
  delivered_ = 0;
  if (FAILED(hr)) {
    text_.clear();
    End(hr);
  }
  return hr;
}

bool DocFilter::ReachNextChunk() {
  while (!frame_pending_) {
    if (end_status_ != S_OK || FAILED(ReadFrame())) return false;
    frame_pending_ = header_.chunk_id != helper_chunk_;
  }
  return true;
}

bool DocFilter::Wanted(std::uint16_t flags) const {
  return (flags & kFlagTitle) != 0 ? want_title_ : want_body_;
}

HRESULT DocFilter::GetChunk(STAT_CHUNK* pStat) {
  if (pStat == nullptr) return E_INVALIDARG;
  if (!initialised_) return E_UNEXPECTED;
  for (;;) {
    if (!ReachNextChunk()) return end_status_;
    frame_pending_ = false;
    helper_chunk_ = header_.chunk_id;
    chunk_flags_ = header_.flags;
    chunk_done_ = !Wanted(chunk_flags_);
    if (!chunk_done_) break;
  }
  const bool title = (chunk_flags_ & kFlagTitle) != 0;
  *pStat = STAT_CHUNK{};
  pStat->idChunk = ++chunk_id_;
  pStat->breakType = chunk_id_ == 1 ? CHUNK_NO_BREAK : CHUNK_EOC;
  pStat->flags = CHUNK_TEXT;
  pStat->locale = 0;  // the helper does not tell the document's language
  pStat->attribute.guidPropSet = title ? FMTID_SummaryInformation : PSGUID_STORAGE;
  pStat->attribute.psProperty.ulKind = PRSPEC_PROPID;
  pStat->attribute.psProperty.propid = title ? PIDSI_TITLE : PID_STG_CONTENTS;
  pStat->idChunkSource = pStat->idChunk;
  return S_OK;
}

HRESULT DocFilter::GetText(ULONG* pcwcBuffer, WCHAR* awcBuffer) {
  if (pcwcBuffer == nullptr || awcBuffer == nullptr) return E_INVALIDARG;
  const ULONG wanted = *pcwcBuffer;
  *pcwcBuffer = 0;
  if (!initialised_) return E_UNEXPECTED;
  if (wanted == 0) return E_INVALIDARG;
  if (chunk_done_) return FILTER_E_NO_MORE_TEXT;
  while (delivered_ == text_.size()) {
    const HRESULT hr = ReadFrame();
    if (FAILED(hr) || header_.chunk_id != helper_chunk_) {
      chunk_done_ = true;
      frame_pending_ = SUCCEEDED(hr);
      return FAILED(hr) && hr != FILTER_E_END_OF_CHUNKS ? hr : FILTER_E_NO_MORE_TEXT;
    }
  }
  const std::size_t left = text_.size() - delivered_;
  std::size_t count = std::min<std::size_t>(wanted, left);
  // A pair is never split; frames never end inside one, so `count` > 1 here.
  if (count < left && count > 1 && IsHighSurrogate(text_[delivered_ + count - 1])) --count;
  std::copy_n(text_.data() + delivered_, count, awcBuffer);
  delivered_ += count;
  *pcwcBuffer = static_cast<ULONG>(count);
  return S_OK;
}

}  // namespace docfilter
