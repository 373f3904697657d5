// The text of e-mail messages (.eml, RFC 5322 with MIME).
#pragma once

#include "filters/filter_host/chunk_sink.h"
#include "platform/hresult.h"

namespace docfilter {

// The From, To and Subject headers, then the text of every text part.
[[nodiscard]] HRESULT ExtractMail(int fd, ChunkSink* sink);

}  // namespace docfilter
