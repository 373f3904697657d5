#include "filters/filter_host/epub_text.h"

namespace docfilter {

HRESULT ExtractEpub(int, ChunkSink*) { return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED); }

}  // namespace docfilter
