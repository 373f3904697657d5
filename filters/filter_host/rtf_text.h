// The text of RTF documents.
#pragma once

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter {

// The text without control words, decoded from the code pages RTF declares.
[[nodiscard]] HRESULT ExtractRtf(int fd, ChunkSink* sink);

}  // namespace docfilter
