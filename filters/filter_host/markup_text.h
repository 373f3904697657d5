// The text of HTML, XHTML and XML documents, parsed with libxml2 without
// network access, without loading external DTDs or entities, and without
// expanding entities declared in the document (entity-expansion bombs give
// no text). Markup, scripts and styles are left out; character references
// are decoded.
#pragma once

#include <string_view>

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter {

enum class MarkupKind { kHtml, kXml };

// A web page: its title (html/head/title) as a title chunk, then the rest
// of its text as one chunk. HRESULT_FROM_WIN32(ERROR_BAD_FORMAT) when the
// file is binary, E_FAIL when libxml2 built no document from a non-empty
// file (memory or a read failure).
[[nodiscard]] HRESULT ExtractHtml(int fd, ChunkSink* sink);
// The same for XML and XHTML; XML that does not parse is read as HTML, so a
// mislabelled text or HTML file still gives its words.
[[nodiscard]] HRESULT ExtractXml(int fd, ChunkSink* sink);
// The text of a markup document held in memory (a part of an archive), as
// one chunk and without its title.
[[nodiscard]] HRESULT ExtractMarkupBuffer(std::string_view bytes, MarkupKind kind, ChunkSink* sink);

}  // namespace docfilter
