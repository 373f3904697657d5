#include "filters/filter_host/rtf_text.h"

namespace docfilter {

HRESULT ExtractRtf(int, ChunkSink*) { return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED); }

}  // namespace docfilter
