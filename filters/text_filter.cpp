#include "filters/text_filter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "platform/wstring.h"
#include "shared/filter_ids.h"

namespace txtfilter {
namespace {

constexpr bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

constexpr bool IsLineBreak(char16_t unit) {
  return unit == u'\n' || unit == u'\r' || unit == 0x2028 || unit == 0x2029;
}

constexpr bool IsSpace(char16_t unit) {
  return unit == u' ' || unit == u'\t' || unit == 0x0B || unit == 0x0C || unit == 0x85 ||
         unit == 0xA0 || unit == 0x3000 || (unit >= 0x2000 && unit <= 0x200A);
}

// Where `text` may be cut without splitting a surrogate pair: `at`, or one
// unit earlier when `at` falls inside a pair and that leaves something.
std::size_t KeepPairs(std::u16string_view text, std::size_t at) {
  if (at > 1 && at < text.size() && IsHighSurrogate(text[at - 1]) && IsLowSurrogate(text[at])) {
    return at - 1;
  }
  return at;
}

bool AsksForBody(ULONG count, const FULLPROPSPEC* attributes) {
  if (count == 0) return true;
  return std::any_of(attributes, attributes + count, [](const FULLPROPSPEC& a) {
    return a.guidPropSet == PSGUID_STORAGE && a.psProperty.ulKind == PRSPEC_PROPID &&
           a.psProperty.propid == PID_STG_CONTENTS;
  });
}

}  // namespace

TextFilter* TextFilter::Create(std::atomic<long>* module_objects) {
  return new (std::nothrow) TextFilter(module_objects);
}

TextFilter::TextFilter(std::atomic<long>* module_objects)
    : FilterObject(module_objects, trovix::CLSID_TextFilter) {}

TextFilter::~TextFilter() { CloseFile(); }

HRESULT TextFilter::Load(const WCHAR* pszFileName, DWORD dwMode) {
  if (pszFileName == nullptr) return E_INVALIDARG;
  if ((dwMode & (STGM_WRITE | STGM_READWRITE)) != 0) return E_INVALIDARG;
  CloseFile();
  return trovix::filters::OpenRegularFile(ToUtf8(pszFileName), &fd_);
}

void TextFilter::CloseFile() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  initialised_ = false;
  ended_ = true;
  text_.clear();
  carry_.clear();
  delivered_ = 0;
}

HRESULT TextFilter::Init(ULONG, ULONG cAttributes, const FULLPROPSPEC* aAttributes, ULONG* pFlags) {
  if (pFlags == nullptr) return E_INVALIDARG;
  *pFlags = 0;  // no property sets to read beside the text
  if (cAttributes > 0 && aAttributes == nullptr) return E_INVALIDARG;
  if (fd_ < 0) return E_UNEXPECTED;
  if (lseek(fd_, 0, SEEK_SET) < 0) return HresultFromErrno(errno);
  decoder_.Reset();
  text_.clear();
  carry_.clear();
  delivered_ = 0;
  chunk_id_ = 0;
  next_break_ = CHUNK_NO_BREAK;
  end_of_file_ = false;
  ended_ = !AsksForBody(cAttributes, aAttributes);
  initialised_ = true;
  return S_OK;
}

HRESULT TextFilter::GetChunk(STAT_CHUNK* pStat) {
  if (pStat == nullptr) return E_INVALIDARG;
  if (!initialised_) return E_UNEXPECTED;
  if (ended_) return FILTER_E_END_OF_CHUNKS;
  const HRESULT hr = NextChunkText();
  if (FAILED(hr)) {
    ended_ = true;
    text_.clear();
    delivered_ = 0;
    return hr;
  }
  *pStat = STAT_CHUNK{};
  pStat->idChunk = ++chunk_id_;
  pStat->breakType = next_break_;
  pStat->flags = CHUNK_TEXT;
  pStat->locale = 0;  // the language of plain text is not known
  pStat->attribute.guidPropSet = PSGUID_STORAGE;
  pStat->attribute.psProperty.ulKind = PRSPEC_PROPID;
  pStat->attribute.psProperty.propid = PID_STG_CONTENTS;
  pStat->idChunkSource = chunk_id_;
  CutChunk();
  return S_OK;
}

HRESULT TextFilter::ReadBlock(std::size_t* size, bool* at_end) {
  block_.resize(kBlockSize);
  std::size_t filled = 0;
  *at_end = false;
  // A regular file may still return short counts (signals, network file
  // systems): fill the block unless the file ends.
  while (filled < block_.size() && !*at_end) {
    const ssize_t got = read(fd_, block_.data() + filled, block_.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return HresultFromErrno(errno);
    *at_end = got == 0;
    filled += static_cast<std::size_t>(got);
  }
  *size = filled;
  return S_OK;
}

HRESULT TextFilter::NextChunkText() {
  text_.swap(carry_);
  carry_.clear();
  delivered_ = 0;
  // One block is read per chunk; another only when nothing decoded yet,
  // which happens only where the file ends (a file of a byte order mark).
  while (!end_of_file_) {
    std::size_t size = 0;
    const HRESULT hr = ReadBlock(&size, &end_of_file_);
    if (FAILED(hr)) return hr;
    decoder_.Decode(std::span<const BYTE>(block_.data(), size), &text_);
    if (end_of_file_) decoder_.Finish(&text_);
    if (!text_.empty()) break;
  }
  if (text_.empty()) {
    ended_ = true;
    return FILTER_E_END_OF_CHUNKS;
  }
  return S_OK;
}

void TextFilter::CutChunk() {
  if (end_of_file_) {
    next_break_ = CHUNK_NO_BREAK;
    return;  // the last chunk keeps all that is left
  }
  const std::u16string_view text = text_;
  const std::size_t half = text.size() / 2;
  std::size_t cut = text.size();
  next_break_ = CHUNK_NO_BREAK;
  for (std::size_t i = text.size(); i > half; --i) {
    if (IsLineBreak(text[i - 1])) {
      cut = i;
      next_break_ = CHUNK_EOP;
      break;
    }
    if (next_break_ == CHUNK_NO_BREAK && IsSpace(text[i - 1])) {
      cut = i;  // kept unless a line break lies in the second half too
      next_break_ = CHUNK_EOW;
    }
  }
  cut = KeepPairs(text, cut);
  // A hard cut at the end of the decoded text may still split a pair whose
  // low surrogate comes with the next block.
  if (cut == text.size() && cut > 1 && IsHighSurrogate(text[cut - 1])) --cut;
  carry_.assign(text.substr(cut));
  text_.resize(cut);
}

HRESULT TextFilter::GetText(ULONG* pcwcBuffer, WCHAR* awcBuffer) {
  if (pcwcBuffer == nullptr || awcBuffer == nullptr) return E_INVALIDARG;
  if (!initialised_) return E_UNEXPECTED;
  const std::size_t left = text_.size() - delivered_;
  if (left == 0) {
    *pcwcBuffer = 0;
    return FILTER_E_NO_MORE_TEXT;
  }
  if (*pcwcBuffer == 0) return E_INVALIDARG;
  const std::u16string_view rest = std::u16string_view(text_).substr(delivered_);
  const std::size_t count = KeepPairs(rest, std::min<std::size_t>(*pcwcBuffer, left));
  std::copy_n(rest.data(), count, awcBuffer);
  delivered_ += count;
  *pcwcBuffer = static_cast<ULONG>(count);
  return delivered_ == text_.size() ? FILTER_S_LAST_TEXT : S_OK;
}

}  // namespace txtfilter
