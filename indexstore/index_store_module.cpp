#include "indexstore/index_store_module.h"

#include "indexstore/log.h"
#include "indexstore/statistics.h"
#include "indexstore/string_table.h"
#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/wstring.h"
#include "shared/database_format.h"
#include "shared/registry_keys.h"

namespace ordalis {
namespace {

// Constructed when the module is loaded, destroyed when it is unloaded.
IndexStoreModule g_module;

}  // namespace

IndexStoreModule& IndexStoreModule::Get() { return g_module; }

IndexStoreModule::IndexStoreModule()
    : log_path(DefaultLogPath()), write_mutex_("TrovixWriteMutex") {
  ComputeDefaultDatabasePath();
}

IndexStoreModule::~IndexStoreModule() {
  data_source = nullptr;
  file_record.Finalize();
  engine_.Close();
}

void IndexStoreModule::ComputeDefaultDatabasePath() {
  const trovix::DatabaseLocation location = trovix::DefaultDatabaseLocation();
  using Failure = trovix::DatabaseLocation::Failure;
  switch (location.failure) {
    case Failure::kNone:
      db_path = Utf8ToUtf16(location.path);
      break;
    case Failure::kNoUserEntry:
      LogMessage(__FILE__, __LINE__, E_FAIL, IDS_NO_PROCESS_TOKEN);
      break;
    case Failure::kNoHomeFolder:
      LogMessage(__FILE__, __LINE__, E_FAIL, IDS_NO_PROFILE_DIRECTORY);
      break;
    case Failure::kTooLong:
      LogMessage(__FILE__, __LINE__, HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE), 0);
      break;
  }
}

HRESULT IndexStoreModule::OpenDatabase(bool for_reading) {
  WriteLock lock;
  std::lock_guard<std::recursive_mutex> guard(critical_section_);
  if (database_open) return E_UNEXPECTED;
  const HRESULT hr =
      engine_.Open(Utf16ToUtf8(db_path), trovix::DatabasePassword(), /*read_only=*/for_reading);
  if (FAILED(hr)) {
    LogFailure(log_path, __FILE__, __LINE__, hr);
    return hr;
  }
  data_source = &engine_;
  word_ids.Clear();
  term_ids.Clear();
  database_open = true;
  opened_for_reading = for_reading;
  return S_OK;
}

HRESULT IndexStoreModule::CloseDatabase() {
  WriteLock lock;
  std::lock_guard<std::recursive_mutex> guard(critical_section_);
  if (!database_open) return E_UNEXPECTED;
  data_source = nullptr;
  file_record.Finalize();  // before the connection it belongs to closes
  engine_.Close();
  word_ids.Clear();
  term_ids.Clear();
  database_open = false;
  opened_for_reading = false;
  return S_OK;
}

// Values found are deleted at once (both in one write of the hive): a
// process that dies before Cleanup then leaves no stale counters behind, and
// the next Init recounts.
HRESULT IndexStoreModule::LoadOrRecountCounters() {
  RegKey key;
  DWORD indexed = 0;
  DWORD processed = 0;
  if (RegKey::Create(HKEY_CURRENT_USER, trovix::keys::kOrdalis, &key) == ERROR_SUCCESS &&
      key.GetDword(trovix::keys::kFilesIndexed, &indexed) == ERROR_SUCCESS &&
      key.GetDword(trovix::keys::kFilesProcessed, &processed) == ERROR_SUCCESS) {
    static_cast<void>(
        key.DeleteValues({trovix::keys::kFilesIndexed, trovix::keys::kFilesProcessed}));
    files_indexed = indexed;
    files_processed = processed;
    return S_OK;
  }
  HRESULT hr = CountIndexed(engine_, &files_indexed);
  if (SUCCEEDED(hr)) hr = CountProcessed(engine_, &files_processed);
  if (FAILED(hr)) {
    LogFailure(log_path, __FILE__, __LINE__, hr);
    return E_FAIL;
  }
  return S_OK;
}

void IndexStoreModule::SaveCounters() {
  RegKey key;
  if (RegKey::Create(HKEY_CURRENT_USER, trovix::keys::kOrdalis, &key) != ERROR_SUCCESS) return;
  // One write of the hive for both: a reader never finds one counter without
  // the other from this save.
  static_cast<void>(key.SetDwords({{trovix::keys::kFilesIndexed, files_indexed},
                                   {trovix::keys::kFilesProcessed, files_processed}}));
}

}  // namespace ordalis
