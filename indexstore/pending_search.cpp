// Search methods the index store does not offer yet: each answers
// E_NOTIMPL, which callers already handle, until its capability lands.
#include "indexstore/trovix_db.h"

namespace ordalis {

HRESULT TrovixDB::SearchOpenWord(const WCHAR*, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::SearchNext(UINT, UINT_PTR) { return E_NOTIMPL; }
HRESULT TrovixDB::SearchClose(UINT) { return E_NOTIMPL; }
HRESULT TrovixDB::SearchGetSize(UINT, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::SearchRewind(UINT) { return E_NOTIMPL; }
HRESULT TrovixDB::SearchCleanupFileQry(const WCHAR*, WCHAR*, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::SearchOpenFileType(const WCHAR*, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::SearchOpenIntersection(UINT, UINT, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::ClearSearch(UINT) { return E_NOTIMPL; }
HRESULT TrovixDB::SearchOpenSubtraction(UINT, UINT, UINT*) { return E_NOTIMPL; }

}  // namespace ordalis
