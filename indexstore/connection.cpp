// The methods that open, close and describe the module's database
// connection: Init, Cleanup, SetDBFileName, GetDBFileName, GetDB and
// GetLogFileName, and the reading session's OpenForReading and
// CloseForReading.
#include <unistd.h>

#include "indexstore/index_store_module.h"
#include "indexstore/log.h"
#include "indexstore/out_buffer.h"
#include "indexstore/trovix_db.h"
#include "platform/wstring.h"

namespace ordalis {

HRESULT TrovixDB::Init() {
  IndexStoreModule& module = IndexStoreModule::Get();
  WriteLock lock;
  if (!module.log_path.empty() && IsLogOversized(module.log_path)) {
    unlink(module.log_path.c_str());
  }
  HRESULT hr = module.OpenDatabase();
  if (FAILED(hr)) return hr;
  hr = module.LoadOrRecountCounters();
  if (FAILED(hr)) return hr;
  module.statistics_ready = true;
  return S_OK;
}

HRESULT TrovixDB::Cleanup() {
  IndexStoreModule& module = IndexStoreModule::Get();
  WriteLock lock;
  // Saved whatever the state, also when Init never ran; but a connection
  // opened for reading loaded no counters, and saving its zeros would
  // overwrite the ones a writer left in the registry.
  if (!module.opened_for_reading) module.SaveCounters();
  module.statistics_ready = false;
  return module.CloseDatabase();
}

// Leaves the log file alone too (Init cuts an oversized one): a reading
// process writes nothing but its own failure records.
HRESULT TrovixDB::OpenForReading() {
  IndexStoreModule& module = IndexStoreModule::Get();
  return module.OpenDatabase(/*for_reading=*/true);
}

HRESULT TrovixDB::CloseForReading() {
  IndexStoreModule& module = IndexStoreModule::Get();
  WriteLock lock;
  if (!module.opened_for_reading) return E_UNEXPECTED;
  return module.CloseDatabase();
}

HRESULT TrovixDB::SetDBFileName(const WCHAR* s) {
  IndexStoreModule& module = IndexStoreModule::Get();
  WriteLock lock;
  if (module.database_open) return E_UNEXPECTED;
  const std::size_t length = WcsLenCapped(s, MAX_PATH);
  if (s == nullptr || length == 0 || length > MAX_PATH) return E_INVALIDARG;
  module.db_path.assign(s, length);
  return S_OK;
}

HRESULT TrovixDB::GetDBFileName(WCHAR* sFN, UINT* pcch) {
  IndexStoreModule& module = IndexStoreModule::Get();
  if (pcch == nullptr) return E_INVALIDARG;
  if (!module.database_open) return E_UNEXPECTED;
  return CopyOut(module.db_path, sFN, pcch);
}

HRESULT TrovixDB::GetDB(VARIANT* pV) {
  IndexStoreModule& module = IndexStoreModule::Get();
  WriteLock lock;
  if (!module.database_open) return E_UNEXPECTED;
  if (pV == nullptr) return E_INVALIDARG;
  VariantInit(pV);
  pV->vt = VT_UNKNOWN | VT_BYREF;
  pV->ppunkVal = &module.data_source;
  return S_OK;
}

// A buffer too small for the path answers E_INVALIDARG with the size needed,
// as GetDBFileName does, rather than a success with nothing copied.
HRESULT TrovixDB::GetLogFileName(WCHAR* sFile, UINT* pcch) {
  IndexStoreModule& module = IndexStoreModule::Get();
  if (!module.database_open) return E_UNEXPECTED;
  if (pcch == nullptr) return E_INVALIDARG;
  return CopyOut(Utf8ToUtf16(module.log_path), sFile, pcch);
}

}  // namespace ordalis
