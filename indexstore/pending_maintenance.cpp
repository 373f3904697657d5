// Maintenance methods the index store does not offer yet: each answers
// E_NOTIMPL, which callers already handle, until its capability lands.
#include "indexstore/trovix_db.h"

namespace ordalis {

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
