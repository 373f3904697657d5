// HTML parsed as a stream (libxml2's push parser with callbacks of our own):
// no document tree is built, so the memory a page costs does not grow with
// its size, and text is handed on in chunks as it is read.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter {

// Reads up to `size` more bytes of the document into `buffer`: the count
// read, 0 at its end, -1 on a read error.
using ReadMore = std::function<long(char* buffer, std::size_t size)>;

// Parses the page `read` delivers, `head` being its first bytes (at most
// 4 KiB, already consumed from `read`; they choose the character set). With
// `with_title`, the first head/title element's text is a title chunk; the
// text outside head, scripts, styles and templates follows in chunks that
// end between words. S_OK once the page (or the text the sink wanted) was
// read; HresultFromErrno(EIO) for a read error, E_OUTOFMEMORY when the
// parser ran out of memory.
[[nodiscard]] HRESULT StreamHtml(std::string_view head, const ReadMore& read, bool with_title,
                                 ChunkSink* sink);

}  // namespace docfilter
