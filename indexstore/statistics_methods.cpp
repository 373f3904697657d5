// The statistics methods: GetCompactionStats, GetIndexedFileCount,
// GetProcessedFileCount, RequeryStatistics and GetLastIndexedFile.
//
// The getters answer from memory without a lock: the counters are plain
// 32-bit values written under the write mutex (or by the thread that runs
// Init and Cleanup), so a reader sees either the old or the new value.
#include "indexstore/db_exception.h"
#include "indexstore/index_store_module.h"
#include "indexstore/log.h"
#include "indexstore/out_buffer.h"
#include "indexstore/statistics.h"
#include "indexstore/trovix_db.h"

namespace ordalis {
namespace {

// The file or files with the latest update time of the whole catalogue, as
// soon as any file has words. The derived table is named "files" so that
// max(files.txlastupdate) refers to its column; unnamed, the engine binds the
// name to the outer query's files and refuses the aggregate.
constexpr const char* kLastIndexedFile =
    "SELECT \t\t\t\t  drives.name || directories.name || files.name \t\t\t\t\tFROM drives, "
    "directories, files \t\t\t\t\tWHERE files.directoryid = directories.directoryid AND "
    "\t\t\t\t\tdirectories.driveid = drives.driveid AND \t\t\t\t\tfiles.txlastupdate = "
    "\t\t\t\t\t(SELECT max(files.txlastupdate) FROM \t\t\t\t\t(SELECT files.name, "
    "files.txlastupdate FROM files WHERE EXISTS (SELECT * FROM files, fileswords WHERE "
    "files.fileid = fileswords.fileid)) AS files) \t\t\t\t\tORDER BY files.txlastupdate DESC;";

IndexStoreModule& Module() { return IndexStoreModule::Get(); }

// Runs one count into `counter`, which changes only on success; a failure is
// logged and returned. The caller holds the write mutex.
HRESULT Recount(HRESULT (*count)(Engine&, UINT*), UINT* counter) {
  const HRESULT hr = count(Module().engine(), counter);
  if (FAILED(hr)) LogFailure(Module().log_path, __FILE__, __LINE__, hr);
  return hr;
}

}  // namespace

HRESULT TrovixDB::GetCompactionStats(UINT* pcFilesAdded, UINT* pcFilesUpdated,
                                     UINT* pcFilesIndexed) {
  const IndexStoreModule& module = Module();
  if (!module.statistics_ready) return E_UNEXPECTED;
  if (pcFilesAdded != nullptr) *pcFilesAdded = module.files_processed;
  if (pcFilesUpdated != nullptr) *pcFilesUpdated = module.files_updated;
  if (pcFilesIndexed != nullptr) *pcFilesIndexed = module.files_indexed;
  const bool all =
      pcFilesAdded != nullptr && pcFilesUpdated != nullptr && pcFilesIndexed != nullptr;
  return all ? S_OK : S_FALSE;
}

HRESULT TrovixDB::GetIndexedFileCount(UINT* pcFilesIndexed) {
  if (!Module().statistics_ready) return E_UNEXPECTED;
  if (pcFilesIndexed == nullptr) return E_POINTER;
  *pcFilesIndexed = Module().files_indexed;
  return S_OK;
}

// Works in every state: before Init it answers 0 or the value counted so far.
HRESULT TrovixDB::GetProcessedFileCount(UINT* pCount) {
  if (pCount == nullptr) return E_POINTER;
  *pCount = Module().files_processed;
  return S_OK;
}

// StatisticsReadyFlag is left as it is.
HRESULT TrovixDB::RequeryStatistics() {
  IndexStoreModule& module = Module();
  if (!module.database_open) return E_UNEXPECTED;
  WriteLock lock;
  if (!module.database_open) return E_UNEXPECTED;  // closed while this thread waited
  HRESULT hr = Recount(&CountIndexed, &module.files_indexed);
  if (FAILED(hr)) return hr;
  hr = Recount(&CountProcessed, &module.files_processed);
  return FAILED(hr) ? hr : S_OK;
}

// The path a file indexed by this process left, else the database's latest.
// Both answer with the size-query protocol of GetDBFileName: a null `s`
// answers S_FALSE and the size, a buffer too small E_INVALIDARG and the size,
// else the path with its terminator and *pcch = its length + 1. The write
// mutex is held, as the remembered path is written under it by IndexFile's
// threads and the connection may be closed by Cleanup on another thread.
HRESULT TrovixDB::GetLastIndexedFile(WCHAR* s, UINT* pcch) {
  IndexStoreModule& module = Module();
  if (pcch == nullptr) return E_INVALIDARG;
  WriteLock lock;
  if (!module.last_indexed_file.empty()) return CopyOut(module.last_indexed_file, s, pcch);
  if (!module.database_open) return E_UNEXPECTED;
  return RunLogged([&]() -> HRESULT {
    Statement latest(module.engine(), kLastIndexedFile);
    if (ORDALIS_CHECK(latest.Step()) == DB_S_ENDOFROWSET) return DB_S_ENDOFROWSET;
    return CopyOut(latest.ColumnText(0), s, pcch);
  });
}

}  // namespace ordalis
