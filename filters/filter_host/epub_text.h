// The text of EPUB e-books.
#pragma once

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter {

// The book's title as a title chunk, then the text of every content document
// in reading order, one chunk each. FILTER_E_PASSWORD when a content
// document is encrypted.
[[nodiscard]] HRESULT ExtractEpub(int fd, ChunkSink* sink);

}  // namespace docfilter
