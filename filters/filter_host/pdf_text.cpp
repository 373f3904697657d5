#include "filters/filter_host/pdf_text.h"

namespace docfilter {

HRESULT ExtractPdf(int, ChunkSink*) { return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED); }

}  // namespace docfilter
