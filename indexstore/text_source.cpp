#include "indexstore/text_source.h"

#include "indexstore/filter_lookup.h"

namespace ordalis {

HRESULT TextSource::Open(const WCHAR* path) {
  Close();
  const HRESULT hr = Attach(path);
  if (FAILED(hr)) Close();
  return hr;
}

HRESULT TextSource::Attach(const WCHAR* path) {
  HRESULT hr = LoadFilterForPath(path, object_.put());
  if (FAILED(hr)) {
    // Plain text of a type without a filter of its own is read as ".txt".
    if (!IsPlainTextType(path)) return E_NOINTERFACE;
    hr = LoadFilterForPath(u".txt", object_.put());
    if (FAILED(hr)) return hr;
  }
  hr = object_->QueryInterface(IID_IFilter, filter_.put_void());
  if (SUCCEEDED(hr)) hr = object_->QueryInterface(IID_IPersistFile, persist_.put_void());
  if (SUCCEEDED(hr)) hr = persist_->Load(path, STGM_READ | STGM_SHARE_DENY_NONE);
  ULONG flags = 0;  // what the filter would add beside its text is not used
  if (SUCCEEDED(hr)) hr = filter_->Init(0, 0, nullptr, &flags);
  return hr;
}

void TextSource::Close() {
  in_text_chunk_ = false;
  persist_.reset();
  filter_.reset();
  object_.reset();
}

HRESULT TextSource::NextChunk() {
  if (!filter_) return E_UNEXPECTED;
  in_text_chunk_ = false;
  for (;;) {
    chunk_ = STAT_CHUNK{};
    const HRESULT hr = filter_->GetChunk(&chunk_);
    if (FAILED(hr)) return hr;
    if ((chunk_.flags & CHUNK_TEXT) != 0) break;
  }
  in_text_chunk_ = true;
  return S_OK;
}

HRESULT TextSource::NextPiece(std::u16string_view* piece) {
  if (piece == nullptr) return E_POINTER;
  *piece = {};
  if (!filter_) return E_UNEXPECTED;
  if (!in_text_chunk_) return FILTER_E_NO_MORE_TEXT;
  ULONG count = kPieceUnits;
  const HRESULT hr = filter_->GetText(&count, piece_.data());
  // FILTER_E_NO_MORE_TEXT is a failure code too. A filter that answers
  // success without text would be asked forever: that ends the chunk as well.
  if (FAILED(hr) || count == 0) {
    in_text_chunk_ = false;
    return FAILED(hr) ? hr : FILTER_E_NO_MORE_TEXT;
  }
  if (count > kPieceUnits) count = kPieceUnits;  // never past what was offered
  piece_[count] = u'\0';
  *piece = std::u16string_view(piece_.data(), count);
  return S_OK;
}

}  // namespace ordalis
