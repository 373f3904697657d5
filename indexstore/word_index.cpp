// The word index: IndexFile, FlushWordCounts, UnIndexFile, FileIndexed,
// GetFileTextType and SetIndexingCancelledFlag.
#include "indexstore/word_index.h"

#include <sys/stat.h>

#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "indexstore/catalogue.h"
#include "indexstore/db_exception.h"
#include "indexstore/index_store_module.h"
#include "indexstore/log.h"
#include "indexstore/term_rows.h"
#include "indexstore/text_source.h"
#include "indexstore/trovix_db.h"
#include "platform/wstring.h"

namespace ordalis {
namespace {

constexpr const char* kSelectWord = "SELECT ID FROM Words WHERE Words.Word = (?)";
constexpr const char* kInsertWord = "INSERT INTO Words (Word) VALUES (?) RETURNING ID";
// One statement in place of the select, insert and update of a file's count:
// the row, its count and the transaction are the same.
constexpr const char* kAddWordCount =
    "INSERT INTO FilesWords (FileID, WordID, WordCount) VALUES (?, ?, ?) "
    "ON CONFLICT (FileID, WordID) DO UPDATE SET WordCount = WordCount + excluded.WordCount";

// Looks `word` up in Words, inserting it when it is new.
std::int64_t LookUpOrInsertWord(Engine& engine, std::u16string_view word) {
  {
    Statement select(engine, kSelectWord);
    ORDALIS_CHECK(select.Bind(1, word));
    if (ORDALIS_CHECK(select.Step()) == S_OK) return select.ColumnInt(0);
  }
  Statement insert(engine, kInsertWord);
  ORDALIS_CHECK(insert.Bind(1, word));
  // RETURNING always yields the new row; no row is an unexpected answer.
  if (ORDALIS_CHECK(insert.Step()) != S_OK) ORDALIS_CHECK(E_FAIL);
  return insert.ColumnInt(0);
}

// The identifier of `word`, from the caches when they know the word. Words
// neither knows are added to `learned`, to be remembered by the module once
// the transaction has committed (a rolled-back insert must not be).
std::int64_t WordId(Engine& engine, const WordIdCache& cache, const WString& word,
                    WordIdCache* learned) {
  if (const std::int64_t known = cache.Find(word)) return known;
  if (const std::int64_t known = learned->Find(word)) return known;
  const std::int64_t id = LookUpOrInsertWord(engine, word);
  learned->Add(word, id);
  return id;
}

constexpr const char* kFileWordCounts =
    "SELECT WordID, WordCount FROM FilesWords WHERE FileID = ? ORDER BY WordID";
constexpr const char* kInsertWordCount =
    "INSERT INTO FilesWords (FileID, WordID, WordCount) VALUES (?, ?, ?)";
constexpr const char* kUpdateWordCount =
    "UPDATE FilesWords SET WordCount = ? WHERE FileID = ? AND WordID = ?";
constexpr const char* kDeleteWordCount = "DELETE FROM FilesWords WHERE FileID = ? AND WordID = ?";

// Runs `sql` once with the parameters `values`.
template <typename... Values>
void RunOnce(Engine& engine, const char* sql, const Values&... values) {
  Statement statement(engine, sql);
  ORDALIS_CHECK(catalogue::BindAll(statement, values...));
  ORDALIS_CHECK(statement.Step());
}

void AddWordCount(Engine& engine, INT file_id, std::int64_t word_id, UINT count) {
  Statement add(engine, kAddWordCount);
  ORDALIS_CHECK(add.Bind(1, std::int64_t{file_id}));
  ORDALIS_CHECK(add.Bind(2, word_id));
  ORDALIS_CHECK(add.Bind(3, std::int64_t{count}));
  ORDALIS_CHECK(add.Step());
}

}  // namespace

bool StopRequested(const UINT* keep_going) {
  if (keep_going == nullptr) return false;
  BYTE first = 0;
  std::memcpy(&first, keep_going, 1);
  return first == 0;
}

HRESULT WriteWordCounts(const std::vector<std::pair<WString, UINT>>& entries, INT file_id,
                        const UINT* keep_going, WordIdCache* learned, UINT* handled) {
  IndexStoreModule& module = IndexStoreModule::Get();
  Engine& engine = module.engine();
  for (const auto& [word, count] : entries) {
    if (StopRequested(keep_going)) return E_ABORT;
    AddWordCount(engine, file_id, WordId(engine, module.word_ids, word, learned), count);
    ++*handled;
  }
  return S_OK;
}

bool ReplaceWordCounts(const std::vector<std::pair<WString, UINT>>& entries, INT file_id,
                       WordIdCache* learned) {
  IndexStoreModule& module = IndexStoreModule::Get();
  Engine& engine = module.engine();
  std::map<std::int64_t, std::int64_t> wanted;  // word id → count
  for (const auto& [word, count] : entries) {
    wanted[WordId(engine, module.word_ids, word, learned)] += count;
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> stored;  // ascending word id
  {
    Statement select(engine, kFileWordCounts);
    ORDALIS_CHECK(select.Bind(1, std::int64_t{file_id}));
    // A failed step raises: a partial list would make the merge insert rows
    // that exist.
    for (HRESULT hr = ORDALIS_CHECK(select.Step()); hr == S_OK; hr = ORDALIS_CHECK(select.Step())) {
      stored.emplace_back(select.ColumnInt(0), select.ColumnInt(1));
    }
  }
  // Both lists ascend by word id: one merge finds what was lost, gained and
  // recounted.
  auto old_row = stored.begin();
  for (const auto& [word_id, count] : wanted) {
    for (; old_row != stored.end() && old_row->first < word_id; ++old_row) {
      RunOnce(engine, kDeleteWordCount, file_id, old_row->first);
    }
    if (old_row != stored.end() && old_row->first == word_id) {
      if (old_row->second != count) {
        RunOnce(engine, kUpdateWordCount, count, file_id, word_id);
      }
      ++old_row;
    } else {
      RunOnce(engine, kInsertWordCount, file_id, word_id, count);
    }
  }
  for (; old_row != stored.end(); ++old_row) {
    RunOnce(engine, kDeleteWordCount, file_id, old_row->first);
  }
  return !stored.empty();
}

HRESULT FlushWordCounts(WordCountMap& map, INT file_id, const UINT* keep_going, UINT* flushed) {
  const auto entries = map.TakeSorted();
  UINT handled = 0;
  IndexStoreModule& module = IndexStoreModule::Get();
  WriteLock lock;
  HRESULT hr = E_UNEXPECTED;
  if (module.database_open) {
    hr = RunLogged([&]() -> HRESULT {
      Engine& engine = module.engine();
      WordIdCache learned;
      Transaction transaction(engine);
      ORDALIS_CHECK(transaction.status());
      const HRESULT written = WriteWordCounts(entries, file_id, keep_going, &learned, &handled);
      if (written == E_ABORT) return E_ABORT;  // rolls back
      ORDALIS_CHECK(transaction.Commit());
      module.word_ids.Learn(std::move(learned));
      return S_OK;
    });
  }
  if (flushed != nullptr) *flushed = handled;
  return hr;
}

bool IsFileTooLarge(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 &&
         static_cast<std::uint64_t>(st.st_size) > kMaxIndexedFileSize;
}

namespace {

// Reads the whole text of the file and counts its accepted words, flushing
// at the end of each chunk that leaves more than kFlushThreshold words
// waiting. Answers S_OK when all text was read and written, S_FALSE when the
// source failed part-way or a flush was stopped, a failure code otherwise.
HRESULT IndexText(TextSource& source, INT file_id, const UINT* keep_going) {
  WordCountMap map;
  WordScanner scanner;
  const auto count = [&map](std::u16string_view word) {
    if (!HasBadCodeUnit(word) && AcceptWord(word)) map.CountWord(word);
  };
  bool complete = true;
  for (;;) {
    HRESULT hr = source.NextChunk();
    if (hr == FILTER_E_END_OF_CHUNKS) break;
    if (FAILED(hr)) {
      complete = false;
      break;
    }
    std::u16string_view piece;
    while (source.NextPiece(&piece) == S_OK) scanner.Scan(piece, count);
    if (map.size() <= kFlushThreshold) continue;
    hr = FlushWordCounts(map, file_id, keep_going, nullptr);
    if (hr == E_ABORT) {
      complete = false;
      break;
    }
    if (FAILED(hr)) return hr;
  }
  scanner.Finish(count);
  const HRESULT hr = FlushWordCounts(map, file_id, keep_going, nullptr);
  if (hr == E_ABORT) complete = false;
  if (FAILED(hr) && hr != E_ABORT) return hr;
  return complete ? S_OK : S_FALSE;
}

}  // namespace

HRESULT TrovixDB::IndexFile(const WCHAR* sFile, UINT* pbContinue, UINT* pID) {
  if (sFile == nullptr) return E_INVALIDARG;
  try {
    if (IsFileTooLarge(ToUtf8(sFile))) return S_FALSE;
    INT file_id = 0;
    HRESULT hr = GetFileID(sFile, &file_id);
    if (FAILED(hr)) return hr;
    if (hr == S_FALSE) return E_INVALIDARG;  // only catalogued files are indexed
    TextSource source;
    hr = source.Open(sFile);
    if (FAILED(hr)) return hr;
    hr = IndexText(source, file_id, pbContinue);
    if (FAILED(hr)) return hr;
    if (pID != nullptr) *pID = static_cast<UINT>(file_id);
    if (hr == S_OK) {
      // Under the lock: several threads of the indexer complete files.
      IndexStoreModule& module = IndexStoreModule::Get();
      WriteLock lock;
      ++module.files_indexed;
      module.last_indexed_file.assign(sFile, WcsLenCapped(sFile, MAX_PATH));
    }
    return hr;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT TrovixDB::UnIndexFile(const WCHAR* sFile, UINT nID) {
  IndexStoreModule& module = IndexStoreModule::Get();
  // The open flag is guarded by the write mutex: take it before reading it.
  WriteLock lock;
  if (!module.database_open) return E_UNEXPECTED;
  if (sFile == nullptr) return E_INVALIDARG;
  INT file_id = static_cast<INT>(nID);
  if (file_id == 0) {
    const HRESULT hr = GetFileID(sFile, &file_id);
    if (FAILED(hr)) return hr;
    if (hr == S_FALSE) return E_INVALIDARG;
  }
  // The file's terms go with its words, in the same transaction: the file
  // is then not analysed, and found by its words alone until it is again.
  const HRESULT hr = RunLogged([&]() -> HRESULT {
    Transaction transaction(module.engine());
    ORDALIS_CHECK(transaction.status());
    {
      Statement remove(module.engine(),
                       "\t\t\tDELETE FROM FilesWords \t\t\tWHERE \t\t\tFilesWords.FileID=(?)");
      ORDALIS_CHECK(remove.Bind(1, std::int64_t{file_id}));
      ORDALIS_CHECK(remove.Step());
    }
    if (module.engine().has_terms()) {
      DeleteFileTerms(file_id);
      SetAnalysis(file_id, 0);
    }
    return transaction.Commit();
  });
  if (FAILED(hr)) return hr;
  // Lowered also when the file had no words (IndexFile counted it all the
  // same), but never below zero.
  if (module.files_indexed > 0) --module.files_indexed;
  return S_OK;
}

HRESULT TrovixDB::FileIndexed(const WCHAR* s) {
  IndexStoreModule& module = IndexStoreModule::Get();
  if (s == nullptr) return E_INVALIDARG;
  WriteLock lock;
  if (!module.database_open) return E_UNEXPECTED;
  INT file_id = 0;
  HRESULT hr = GetFileID(s, &file_id);
  if (hr != S_OK) return hr;
  Statement count(module.engine(),
                  "\t\t\tSELECT COUNT(*) FROM FilesWords \t\t\tWHERE \t\t\tFilesWords.FileID=(?);");
  hr = count.Bind(1, std::int64_t{file_id});
  if (SUCCEEDED(hr)) hr = count.Step();
  if (hr == DB_S_ENDOFROWSET) hr = E_FAIL;  // a count always yields a row
  if (FAILED(hr)) {
    LogFailure(module.log_path, __FILE__, __LINE__, hr);
    return hr;
  }
  const std::int64_t rows = count.ColumnInt(0);
  if (rows < 0) return E_FAIL;
  if (rows > 0 || !module.engine().has_terms()) return rows > 0 ? S_OK : S_FALSE;
  // Words of the file's text in the term index count as well.
  Statement analysis(module.engine(), "SELECT Analysis FROM Files WHERE FileID = ?");
  hr = analysis.Bind(1, std::int64_t{file_id});
  if (SUCCEEDED(hr)) hr = analysis.Step();
  if (FAILED(hr)) {
    LogFailure(module.log_path, __FILE__, __LINE__, hr);
    return hr;
  }
  return hr == S_OK && analysis.ColumnInt(0) == 2 ? S_OK : S_FALSE;
}

HRESULT TrovixDB::GetFileTextType(const WCHAR* s, UINT* pnType) {
  IndexStoreModule& module = IndexStoreModule::Get();
  if (s == nullptr || s[0] == 0 || pnType == nullptr) return E_INVALIDARG;
  WriteLock lock;
  if (!module.database_open) return E_UNEXPECTED;
  INT file_id = 0;
  HRESULT hr = GetFileID(s, &file_id);
  if (FAILED(hr)) return hr;
  Statement select(module.engine(),
                   "\t\t\tSELECT \t\t\tTextType \t\t\tFROM \t\t\tFiles \t\t\tWHERE "
                   "\t\t\tFiles.FileID=(?)");
  hr = select.Bind(1, std::int64_t{file_id});
  if (SUCCEEDED(hr)) hr = select.Step();
  if (FAILED(hr)) {
    LogFailure(module.log_path, __FILE__, __LINE__, hr);
    return hr;
  }
  *pnType = hr == S_OK ? static_cast<UINT>(select.ColumnInt(0)) : 0;
  return S_OK;
}

HRESULT TrovixDB::SetIndexingCancelledFlag(UINT bCancel) {
  indexing_cancelled_ = bCancel != 0 ? 1 : 0;
  return S_OK;
}

}  // namespace ordalis
