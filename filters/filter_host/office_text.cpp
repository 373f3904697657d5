#include "filters/filter_host/office_text.h"

namespace docfilter {

HRESULT ExtractOpenDocument(int, ChunkSink*) { return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED); }

HRESULT ExtractOfficeOpenXml(int, ChunkSink*) { return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED); }

}  // namespace docfilter
