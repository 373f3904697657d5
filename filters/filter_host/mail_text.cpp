#include "filters/filter_host/mail_text.h"

namespace docfilter {

HRESULT ExtractMail(int, ChunkSink*) { return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED); }

}  // namespace docfilter
