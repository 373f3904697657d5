// Catalogue methods the index store does not offer yet: each answers
// E_NOTIMPL, which callers already handle, until its capability lands.
#include "indexstore/trovix_db.h"

namespace ordalis {

HRESULT TrovixDB::AddFile(const WCHAR*) { return E_NOTIMPL; }
HRESULT TrovixDB::FileInDB(const WCHAR*) { return E_NOTIMPL; }
HRESULT TrovixDB::DriveInDB(const WCHAR*, INT*) { return E_NOTIMPL; }
HRESULT TrovixDB::UpdateFile(const WCHAR*) { return E_NOTIMPL; }
HRESULT TrovixDB::DeleteFileHard(const WCHAR*) { return E_NOTIMPL; }
HRESULT TrovixDB::DeleteDir(const WCHAR*) { return E_NOTIMPL; }
HRESULT TrovixDB::GetFileID(const WCHAR*, INT*) { return E_NOTIMPL; }
HRESULT TrovixDB::GetDirID(const WCHAR*, INT*) { return E_NOTIMPL; }
HRESULT TrovixDB::DirInDB(const WCHAR*) { return E_NOTIMPL; }
HRESULT TrovixDB::FileNameAndDirIDInDB(const WCHAR*, INT) { return E_NOTIMPL; }
HRESULT TrovixDB::DirNameAndDriveIDInDB(const WCHAR*, INT) { return E_NOTIMPL; }
HRESULT TrovixDB::RenameDirectory(const WCHAR*, const WCHAR*) { return E_NOTIMPL; }
HRESULT TrovixDB::RenameFile(const WCHAR*, const WCHAR*) { return E_NOTIMPL; }
HRESULT TrovixDB::FileDueForUpdate(const WCHAR*) { return E_NOTIMPL; }
HRESULT TrovixDB::GetDirIDByNameAndDriveID(const WCHAR*, INT, INT*) { return E_NOTIMPL; }

}  // namespace ordalis
