// The text of PDF documents, read with poppler-cpp.
#pragma once

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter {

// Each page's text as a chunk, after the document's title as a title chunk.
[[nodiscard]] HRESULT ExtractPdf(int fd, ChunkSink* sink);

}  // namespace docfilter
