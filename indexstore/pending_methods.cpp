// Methods of capabilities the index store does not offer yet: each answers
// E_NOTIMPL, which callers already handle, until its capability lands.
#include "indexstore/trovix_db.h"

namespace ordalis {

// Searches and result sets.
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

// Maintenance, statistics and duplicates.
HRESULT TrovixDB::FindFirstDuplicateFile(const WCHAR*, WCHAR*, UINT, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::FindNextDuplicateFile(WCHAR*, UINT, UINT) { return E_NOTIMPL; }
HRESULT TrovixDB::FindCloseDuplicateFile(UINT) { return E_NOTIMPL; }
HRESULT TrovixDB::CompactDatabase() { return E_NOTIMPL; }
HRESULT TrovixDB::GetCompactionStats(UINT*, UINT*, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::GetIndexedFileCount(UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::GetLastIndexedFile(WCHAR*, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::GetProcessedFileCount(UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::GetDBFileSize(UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::QueryCleanup(WCHAR*, UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::GetCompactionSpaceFree(UINT*) { return E_NOTIMPL; }
HRESULT TrovixDB::IsCompacting() { return E_NOTIMPL; }
HRESULT TrovixDB::RequeryStatistics() { return E_NOTIMPL; }

}  // namespace ordalis
