// The document formats trovix-filterhost reads, chosen by file extension.
#pragma once

#include <string>

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter {

// Parses the document open on `fd` (positioned at its start) into `sink`.
// S_OK when the parse ended (the sink may have been cut at its cap), a
// failure code when the file is damaged, not of the format, encrypted or
// unreadable; the chunks already handed on stay valid either way.
using Extractor = HRESULT (*)(int fd, ChunkSink* sink);

// The extractor for the extension of `path` (case-insensitive), null for
// an extension no parser takes.
[[nodiscard]] Extractor ExtractorForPath(const std::string& path);

}  // namespace docfilter
