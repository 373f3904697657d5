// The text of an HTML, XHTML or XML document, parsed with libxml2 without
// network access, without loading external DTDs or entities, and without
// expanding entities declared in the document (entity-expansion bombs give
// no text).
#pragma once

#include <cstddef>
#include <string>

#include "platform/hresult.h"

namespace docfilter {

enum class MarkupKind { kHtml, kXml };

struct MarkupText {
  std::u16string title;    // the HTML or XHTML title, empty elsewhere
  std::u16string body;     // all other text, markup, scripts and styles left out
  bool truncated = false;  // body cut at the cap
};

// The kind a file's extension promises: kXml for .xml and .xhtml, kHtml
// otherwise.
[[nodiscard]] MarkupKind KindForPath(const std::string& path);

// Parses the document open on `fd` (read from its start). XML that does not
// parse falls back to the forgiving HTML parser, so a mislabelled text or
// HTML file still gives its words. `max_units` caps title and body (UTF-16
// units each). HRESULT_FROM_WIN32(ERROR_BAD_FORMAT) when the file is binary,
// E_FAIL when libxml2 built no document from a non-empty file (memory or a
// read failure).
[[nodiscard]] HRESULT ExtractMarkupText(int fd, MarkupKind kind, std::size_t max_units,
                                        MarkupText* out);

}  // namespace docfilter
