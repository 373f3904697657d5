// ITrovixBatch of TrovixDB: PrepareFile, ReleasePrepared, BeginBatch,
// WritePrepared, RemoveFile, CommitBatch, AbortBatch and ReadFolder.
//
// A prepared file is written in one pass: its row is refreshed or added,
// and its word rows are made the prepared ones, writing only those that
// change. Every check that can refuse
// the file comes before the first write, so a refused file leaves the batch
// as it was and needs no savepoint.
#include "indexstore/batch.h"

#include <sys/stat.h>

#include <algorithm>
#include <new>

#include "analysis/text_analyzer.h"
#include "indexstore/db_exception.h"
#include "indexstore/own_statement.h"
#include "indexstore/text_source.h"
#include "indexstore/trovix_db.h"
#include "indexstore/word_index.h"
#include "platform/filetime.h"
#include "platform/wstring.h"

namespace ordalis {
namespace {

using catalogue::BindAll;
using catalogue::FirstId;
using catalogue::LongPathArgument;

constexpr const char* kFileIdLookup =
    "SELECT FileID, Analysis FROM Drives, Directories, Files WHERE Drives.Name = ? AND "
    "Directories.Name = ? AND Files.Name = ? AND Files.DirectoryID = Directories.DirectoryID "
    "AND Directories.DriveID = Drives.DriveID";
constexpr const char* kDeleteWords = "DELETE FROM FilesWords WHERE FileID = ?";
constexpr const char* kDeleteFileRow = "DELETE FROM Files WHERE FileID = ?";
// Files of one folder, with whether each is in the term index; one query
// per folder.
constexpr const char* kFolderRows =
    "SELECT Files.Name, Files.SizeLo32, Files.TXLastUpdate, Files.Analysis > 0 "
    "FROM Drives, Directories, Files WHERE Drives.Name = ? AND Directories.Name = ? AND "
    "Directories.DriveID = Drives.DriveID AND Files.DirectoryID = Directories.DirectoryID";

IndexStoreModule& Module() { return IndexStoreModule::Get(); }

// What AddFile accepts, less the test for the database's own files (it
// needs the module's path, so it runs under the lock when written).
bool AddableEntry(const std::string& path) {
  struct stat entry {};
  if (lstat(path.c_str(), &entry) != 0) return false;
  return S_ISREG(entry.st_mode) || S_ISDIR(entry.st_mode) || S_ISLNK(entry.st_mode);
}

// Collects the terms of the name of `file`, then those of its text, read
// as IndexFile reads it but without writing. S_OK complete, S_FALSE too
// large or only partly read, E_ABORT stopped, or the source's failure to
// open (the name's terms are collected all the same).
HRESULT CollectTerms(const PreparedFile& file, const UINT* keep_going, TermCollector* terms) {
  terms->NameTerms(file.parts.file);
  if (IsFileTooLarge(file.os_path)) return S_FALSE;
  TextSource source;
  const HRESULT opened = source.Open(file.path.c_str());
  if (FAILED(opened)) return opened;
  trovix::analysis::TextAnalyzer analyzer(*terms);
  HRESULT status = S_OK;
  for (;;) {
    if (StopRequested(keep_going)) return E_ABORT;
    const HRESULT hr = source.NextChunk();
    if (hr == FILTER_E_END_OF_CHUNKS) break;
    if (FAILED(hr)) {
      status = S_FALSE;
      break;
    }
    // A new chapter (a document's body after its title) is no continuation
    // of the words before it.
    if (source.chunk().breakType == CHUNK_EOC) analyzer.BreakText();
    std::u16string_view piece;
    while (source.NextPiece(&piece) == S_OK) analyzer.Feed(piece);
  }
  analyzer.Finish();
  return status;
}

struct Catalogued {
  INT id = 0;  // 0 when the file is not catalogued
  std::int64_t analysis = 0;
};

Catalogued LookUp(const PathParts& parts) {
  Statement lookup(Module().engine(), kFileIdLookup);
  ORDALIS_CHECK(BindAll(lookup, parts.drive, parts.directory, parts.file));
  Catalogued found;
  if (FirstId(lookup, 0, &found.id) != S_OK) return Catalogued{};
  found.analysis = lookup.ColumnInt(1);
  return found;
}

// Deletes the words of `file_id`; true when it had some.
bool DeleteWords(INT file_id) {
  Engine& engine = Module().engine();
  Statement remove(engine, kDeleteWords);
  ORDALIS_CHECK(BindAll(remove, file_id));
  ORDALIS_CHECK(remove.Step());
  return sqlite3_changes(engine.handle()) > 0;
}

// A counter moved by a batch's change, never below 0.
void Apply(UINT* counter, std::int64_t change) {
  const std::int64_t moved = std::max<std::int64_t>(0, std::int64_t{*counter} + change);
  *counter = static_cast<UINT>(std::min<std::int64_t>(moved, 0xFFFFFFFF));
}

struct FolderRow {
  WString name;
  UINT size_lo32;
  double last_update;
  bool has_words;
};

// A checkpoint the batch's commit made due, outside the write mutex. The
// critical section keeps the connection open meanwhile.
void RunDueCheckpoint() {
  IndexStoreModule& module = Module();
  const std::lock_guard<std::recursive_mutex> guard(module.critical_section());
  if (module.database_open) module.engine().RunDueCheckpoint();
}

// The rows of one folder through a statement of the call's own. S_OK, S_FALSE
// for none, or the engine's failure.
HRESULT ReadFolderRows(sqlite3* db, const PathParts& parts, std::vector<FolderRow>* rows) {
  OwnStatement select(db, kFolderRows);
  HRESULT hr = select.status();
  if (SUCCEEDED(hr)) hr = select.Bind(1, parts.drive);
  if (SUCCEEDED(hr)) hr = select.Bind(2, parts.directory);
  if (FAILED(hr)) return hr;
  sqlite3_stmt* row = select.get();
  for (hr = select.Step(); hr == S_OK; hr = select.Step()) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(row, 0));
    rows->push_back({Utf8ToUtf16(name != nullptr ? name : ""),
                     static_cast<UINT>(sqlite3_column_int64(row, 1)), sqlite3_column_double(row, 2),
                     sqlite3_column_int(row, 3) != 0});
  }
  if (FAILED(hr)) return hr;
  return rows->empty() ? S_FALSE : S_OK;
}

}  // namespace

HRESULT TrovixDB::PrepareFile(const WCHAR* sFile, UINT* pbContinue, PreparedFile** phFile) {
  if (phFile == nullptr) return E_POINTER;
  *phFile = nullptr;
  std::u16string_view path;
  if (!LongPathArgument(sFile, &path) || path.empty() || path[0] != u'/') return E_INVALIDARG;
  try {
    auto file = std::make_unique<PreparedFile>();
    file->path = WString(path);
    file->os_path = Utf16ToUtf8(path);
    FileAttributes attributes{};
    if (!SplitPath(path, &file->parts) || !AddableEntry(file->os_path) ||
        !ReadCatalogueAttributes(file->os_path, &attributes)) {
      return E_INVALIDARG;
    }
    file->row = FileRowFor(attributes, file->os_path);
    TermCollector terms;
    file->text_status = CollectTerms(*file, pbContinue, &terms);
    if (file->text_status == E_ABORT) return E_ABORT;
    file->has_text_terms = terms.has_text_terms();
    file->terms = terms.TakeSorted();
    *phFile = file.release();
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

void TrovixDB::ReleasePrepared(PreparedFile* hFile) { delete hFile; }

HRESULT TrovixDB::BeginBatch() {
  if (batch_) return E_UNEXPECTED;
  try {
    auto batch = std::make_unique<Batch>();
    if (!Module().database_open) return E_UNEXPECTED;
    const HRESULT hr = batch->transaction.status();
    if (FAILED(hr)) {
      LogFailure(Module().log_path, __FILE__, __LINE__, hr);
      return hr;
    }
    batch_ = std::move(batch);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT TrovixDB::WritePrepared(PreparedFile* hFile) {
  if (!batch_ || batch_->doomed) return E_UNEXPECTED;
  if (hFile == nullptr) return E_POINTER;
  const PreparedFile& file = *hFile;
  if (NamesDatabaseFile(file.os_path)) return E_INVALIDARG;
  Batch& batch = *batch_;
  const HRESULT hr = RunLogged([&]() -> HRESULT {
    const Catalogued known = LookUp(file.parts);
    // A new file must still be there: the row would otherwise name nothing.
    FileAttributes attributes{};
    if (known.id == 0 && !ReadCatalogueAttributes(file.os_path, &attributes)) return E_INVALIDARG;
    const bool added = known.id == 0;
    const INT file_id = WriteFileRow(*this, file.parts, file.row, known.id);
    // Rows a new file's id finds were left by a file removed before it
    // (they are replaced all the same); they were not counted. Words an
    // earlier version indexed leave the word index: the term index holds
    // the file now.
    static_cast<void>(ReplaceFileTerms(file.terms, file_id, &batch.learned));
    const bool had_old_words = DeleteWords(file_id);
    SetAnalysis(file_id, file.has_text_terms ? 2 : 1);
    const bool had_words = !added && (had_old_words || known.analysis == 2);
    if (++batch.files_written % Batch::kCacheRefitFiles == 0) Module().engine().GrowCacheInBatch();
    batch.files_processed += added ? 1 : 0;
    batch.files_updated += added ? 0 : 1;
    batch.files_indexed += (file.text_status == S_OK ? 1 : 0) - (had_words ? 1 : 0);
    // GetLastIndexedFile hands it out in a buffer of MAX_PATH units.
    if (file.text_status == S_OK) {
      batch.last_indexed_file.assign(file.path, 0,
                                     std::min<std::size_t>(file.path.size(), MAX_PATH));
    }
    return file.text_status;
  });
  if (FAILED(hr) && hr != E_INVALIDARG && hr != file.text_status) batch.doomed = true;
  return hr;
}

HRESULT TrovixDB::RemoveFile(const WCHAR* sFile) {
  if (!batch_ || batch_->doomed) return E_UNEXPECTED;
  std::u16string_view path;
  PathParts parts;
  if (!LongPathArgument(sFile, &path) || !SplitPath(path, &parts)) return E_INVALIDARG;
  Batch& batch = *batch_;
  const HRESULT hr = RunLogged([&]() -> HRESULT {
    const Catalogued known = LookUp(parts);
    const INT file_id = known.id;
    if (file_id == 0) return S_FALSE;
    if (DeleteWords(file_id) || known.analysis == 2) --batch.files_indexed;
    DeleteFileTerms(file_id);
    Statement remove(Module().engine(), kDeleteFileRow);
    ORDALIS_CHECK(BindAll(remove, file_id));
    ORDALIS_CHECK(remove.Step());
    --batch.files_processed;
    return S_OK;
  });
  if (FAILED(hr)) batch.doomed = true;
  return hr;
}

HRESULT TrovixDB::CommitBatch() {
  if (!batch_) return E_UNEXPECTED;
  std::unique_ptr<Batch> batch = std::move(batch_);
  if (batch->doomed) return E_UNEXPECTED;  // rolled back as it goes
  const HRESULT hr = batch->transaction.Commit();
  if (FAILED(hr)) {
    LogFailure(Module().log_path, __FILE__, __LINE__, hr);
    return hr;
  }
  IndexStoreModule& module = Module();
  module.term_ids.Learn(std::move(batch->learned));
  Apply(&module.files_processed, batch->files_processed);
  Apply(&module.files_indexed, batch->files_indexed);
  Apply(&module.files_updated, batch->files_updated);
  if (!batch->last_indexed_file.empty()) module.last_indexed_file = batch->last_indexed_file;
  batch.reset();  // lets the write mutex go
  RunDueCheckpoint();
  return S_OK;
}

HRESULT TrovixDB::AbortBatch() {
  if (!batch_) return E_UNEXPECTED;
  batch_.reset();
  return S_OK;
}

HRESULT TrovixDB::Contended() { return Module().write_mutex().OthersWaiting() ? S_OK : S_FALSE; }

HRESULT TrovixDB::ReadFolder(const WCHAR* sFolder, ICatalogueRowSink* sink) {
  std::u16string_view path;
  PathParts parts;
  if (!LongPathArgument(sFolder, &path) || sink == nullptr || !SplitDirectoryPath(path, &parts)) {
    return E_INVALIDARG;
  }
  std::vector<FolderRow> rows;
  HRESULT hr = S_OK;
  {
    // The critical section keeps the connection open (the open and close
    // steps take it) without waiting for a writer of this process or
    // another. The statement is this call's own: the connection's cache of
    // statements belongs to the holder of the write mutex. The rows are
    // handed out after the section, so the sink may take its time.
    IndexStoreModule& module = Module();
    const std::lock_guard<std::recursive_mutex> guard(module.critical_section());
    if (!module.database_open) return E_UNEXPECTED;
    hr = ReadFolderRows(module.engine().handle(), parts, &rows);
    if (FAILED(hr)) LogFailure(module.log_path, __FILE__, __LINE__, hr);
  }
  if (hr != S_OK) return hr;
  for (const FolderRow& row : rows) {
    CatalogueRow out{row.name.c_str(), row.size_lo32, {}, row.has_words ? 1 : 0};
    // A date the calendar cannot hold reads as the earliest time: the file
    // then counts as changed, which costs one more read at worst.
    if (!DateToFileTime(row.last_update, &out.last_update)) out.last_update = {};
    if (const HRESULT answered = sink->Row(out); answered != S_OK) return answered;
  }
  return S_OK;
}

}  // namespace ordalis
