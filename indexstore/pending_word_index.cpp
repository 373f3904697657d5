// Word index methods the index store does not offer yet: each answers
// E_NOTIMPL, which callers already handle, until its capability lands.
#include "indexstore/trovix_db.h"

namespace ordalis {

HRESULT TrovixDB::IndexFile(const WCHAR*, UINT*, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::UnIndexFile(const WCHAR*, UINT) { return E_NOTIMPL; }
HRESULT TrovixDB::GetFileTextType(const WCHAR*, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::FileIndexed(const WCHAR*) { return E_NOTIMPL; }
HRESULT TrovixDB::SetIndexingCancelledFlag(UINT) { return E_NOTIMPL; }

}  // namespace ordalis
