#include "filters/doc_filter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "platform/reg_key.h"
#include "platform/wstring.h"
#include "shared/filter_ids.h"
#include "shared/registry_keys.h"

namespace docfilter {
namespace {

bool AsksFor(ULONG count, const FULLPROPSPEC* attributes, const GUID& set, PROPID id) {
  if (count == 0) return true;
  return std::any_of(attributes, attributes + count, [&](const FULLPROPSPEC& a) {
    return a.guidPropSet == set && a.psProperty.ulKind == PRSPEC_PROPID &&
           a.psProperty.propid == id;
  });
}

constexpr bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

std::string HelperBeside(const std::string& bin_path) {
  // "<prefix>/bin/" and "<prefix>/bin" name the same folder; its parent is
  // the prefix whether or not the value ends in a slash.
  std::string folder = bin_path;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const std::size_t slash = folder.rfind('/');
  const std::string prefix = slash == std::string::npos ? "." : folder.substr(0, slash);
  return prefix + "/libexec/trovix/trovix-filterhost";
}

HelperSettings InstalledHelper() {
  HelperSettings settings;
  RegKey key;
  const bool opened = RegKey::Open(HKEY_CURRENT_USER, trovix::keys::kTrovix, &key) == ERROR_SUCCESS;
  DWORD max_chars = 0;
  if (opened && key.GetDword(trovix::keys::kMaxTextPerFile, &max_chars) == ERROR_SUCCESS) {
    settings.max_chars = max_chars;
  }
  WString bin;
  if (const char* env = std::getenv("TROVIX_FILTERHOST"); env != nullptr && *env != 0) {
    settings.program = env;
  } else if (opened && key.GetString(trovix::keys::kBinPath, &bin) == ERROR_SUCCESS &&
             !bin.empty()) {
    settings.program = HelperBeside(Utf16ToUtf8(bin));
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
  Abandon();
  CloseFile();
  initialised_ = false;
  path_.clear();
  const std::string path = ToUtf8(pszFileName);
  HRESULT hr = trovix::filters::OpenRegularFile(path, &fd_);
  if (SUCCEEDED(hr) && path.size() > kMaxRequestPath) {
    hr = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  }
  if (SUCCEEDED(hr)) {
    path_ = path;
    hr = StartHelper();
  }
  if (FAILED(hr)) {
    path_.clear();
    CloseFile();
  }
  return hr;
}

DocFilter::~DocFilter() { CloseFile(); }

void DocFilter::CloseFile() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void DocFilter::Abandon() {
  if (helper_ != nullptr) helper_->Stop();
  helper_.reset();
}

HRESULT DocFilter::Request(bool fresh) {
  Abandon();
  if (!fresh && settings_.pool != nullptr) helper_ = settings_.pool->Take(settings_.program);
  from_pool_ = helper_ != nullptr;
  if (helper_ == nullptr) {
    helper_ = std::make_unique<HelperProcess>();
    std::vector<std::string> args{"--serve"};
    if (settings_.max_chars != 0)
      args.push_back("--max-chars=" + std::to_string(settings_.max_chars));
    const HRESULT hr = helper_->Start(settings_.program, args, settings_.budget);
    if (FAILED(hr)) {
      helper_.reset();
      return hr;
    }
  }
  RequestHeader request;
  request.length = static_cast<std::uint32_t>(path_.size());
  std::string message(reinterpret_cast<const char*>(&request), sizeof request);
  message += path_;
  // The helper may open no user file: it gets a copy of our descriptor.
  const HRESULT hr = helper_->Send(message.data(), message.size(), settings_.budget, fd_);
  if (FAILED(hr)) Abandon();
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
  HRESULT hr = Request(/*fresh=*/false);
  // An idle helper may have died since its last file (with the thread that
  // started it): one more try with a new one.
  if (FAILED(hr) && from_pool_) hr = Request(/*fresh=*/true);
  return hr;
}

HRESULT DocFilter::Init(ULONG, ULONG cAttributes, const FULLPROPSPEC* aAttributes, ULONG* pFlags) {
  if (pFlags == nullptr) return E_INVALIDARG;
  *pFlags = 0;  // no property sets to read beside the text
  if (cAttributes > 0 && aAttributes == nullptr) return E_INVALIDARG;
  if (path_.empty()) return E_UNEXPECTED;
  want_body_ = AsksFor(cAttributes, aAttributes, PSGUID_STORAGE, PID_STG_CONTENTS);
  want_title_ = AsksFor(cAttributes, aAttributes, FMTID_SummaryInformation, PIDSI_TITLE);
  initialised_ = false;
  // A file's output is read once: starting over asks again.
  if (read_from_helper_) {
    const HRESULT hr = StartHelper();
    if (FAILED(hr)) return hr;
  }
  initialised_ = true;
  return S_OK;
}

void DocFilter::End(HRESULT status, bool reusable) {
  end_status_ = status;
  if (reusable && settings_.pool != nullptr && helper_ != nullptr) {
    settings_.pool->Give(std::move(helper_));
  }
  Abandon();
}

HRESULT DocFilter::ReadHeader() {
  if (helper_ == nullptr) return E_UNEXPECTED;
  HRESULT hr = helper_->Read(&header_, sizeof header_);
  // An idle helper that died before answering its first frame (it died
  // with the thread that started it) has read nothing of this file: ask a
  // new one.
  if (hr == E_FAIL && from_pool_ && !read_from_helper_) {
    hr = Request(/*fresh=*/true);
    if (SUCCEEDED(hr)) hr = helper_->Read(&header_, sizeof header_);
  }
  read_from_helper_ = true;
  return hr;
}

HRESULT DocFilter::ReadFrame() {
  HRESULT hr = ReadHeader();
  if (SUCCEEDED(hr) && !IsWellFormed(header_)) hr = FILTER_E_ACCESS;
  const bool same_chunk = header_.chunk_id == helper_chunk_;
  if (SUCCEEDED(hr) && header_.type == kFrameText &&
      (header_.chunk_id < helper_chunk_ || (same_chunk && header_.flags != chunk_flags_))) {
    hr = FILTER_E_ACCESS;  // chunks out of order, or one chunk changing its kind
  }
  // Only a helper that parsed its file to a good end is trusted again.
  const bool clean_end = SUCCEEDED(hr) && header_.type == kFrameEnd && SUCCEEDED(header_.status);
  if (SUCCEEDED(hr) && header_.type == kFrameEnd) {
    hr = SUCCEEDED(header_.status) ? FILTER_E_END_OF_CHUNKS : header_.status;
  }
  if (SUCCEEDED(hr)) {
    text_.resize(header_.length);
    hr = helper_->Read(text_.data(), text_.size() * sizeof(char16_t));
  }
  delivered_ = 0;
  if (FAILED(hr)) {
    text_.clear();
    End(hr, clean_end);
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
