// The text of OpenDocument and Office Open XML files (zip archives of XML parts).
#pragma once

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter {

// The document's title as a title chunk, then its text.
[[nodiscard]] HRESULT ExtractOpenDocument(int fd, ChunkSink* sink);
[[nodiscard]] HRESULT ExtractOfficeOpenXml(int fd, ChunkSink* sink);

}  // namespace docfilter
