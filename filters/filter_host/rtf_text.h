// The text of RTF documents.
#pragma once

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter {

// The text without control words, decoded from the code pages RTF declares
// (\ansicpg, font charsets, \u), in chunks of about 64 Ki units that end at
// a word break; \info\title as the title chunk. Pictures, tables of fonts,
// colours and styles, field instructions and \* destinations give no text.
// HRESULT_FROM_WIN32(ERROR_BAD_FORMAT) for a file that does not start with
// "{\rtf". A document cut short gives the text it has and S_OK; a read error
// ends it with that error.
[[nodiscard]] HRESULT ExtractRtf(int fd, ChunkSink* sink);

}  // namespace docfilter
