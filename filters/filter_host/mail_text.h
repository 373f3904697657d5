// The text of e-mail messages (.eml, RFC 5322 with MIME).
#pragma once

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter {

// The Subject as the title chunk; the From, To and Subject values (encoded
// words decoded) as one chunk; then the text of every text part, decoded
// from its transfer encoding and charset, html parts without their markup.
// Of a multipart/alternative only the plain text is read when it has any.
// Attached messages give their fields and text too; other attachments that
// are not text give nothing. A file with no header lines is read as a plain
// body; one with a NUL byte in its first 4 KiB is binary:
// HRESULT_FROM_WIN32(ERROR_BAD_FORMAT). A message cut short gives the text
// it has and S_OK; a read error ends it with that error.
[[nodiscard]] HRESULT ExtractMail(int fd, ChunkSink* sink);

}  // namespace docfilter
