// The text of PDF documents, read with poppler-cpp.
#pragma once

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter {

// The title from the document information as a title chunk, then each
// page's text in reading order as a chunk of its own. A file cut short
// gives the pages whose objects it still holds whole. FILTER_E_PASSWORD when
// the document opens only with a password, HRESULT_FROM_WIN32(
// ERROR_BAD_FORMAT) when poppler can make no document of the file.
[[nodiscard]] HRESULT ExtractPdf(int fd, ChunkSink* sink);

}  // namespace docfilter
