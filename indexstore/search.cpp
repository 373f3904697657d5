// The search methods: SearchOpenWord, SearchOpenFileType,
// SearchOpenIntersection, SearchOpenSubtraction, SearchNext, SearchGetSize,
// SearchRewind, ClearSearch, SearchClose and SearchCleanupFileQry, and
// SearchOpenWordCandidates of ITrovixResultRows.
//
// Result sets live in the process-wide table of the shared library
// (shared/search_result.h), so they outlive this module and the panel's own
// sets can be combined with ours. Their identifiers are fixed when a set is
// opened; SearchNext looks each one up in the catalogue when it is read.
//
// Locks:
//  - SearchOpenWord holds the write mutex and, inside it, the critical
//    section; SearchOpenWordCandidates, SearchOpenFileType and SearchNext
//    hold the critical section only, so a reader is not held up by another
//    process's writes. Within one process, then, only one of them runs at a
//    time, never during the open and close steps of the connection.
//  - They use statements of their own instead of the engine's
//    statement cache: the cache is shared with methods that hold only the
//    write mutex, and two threads must not fill it at once. SearchNext's
//    statement, run once per row, is kept prepared by the module under the
//    critical section (see kept_statement.h); the others, run once per
//    search, are prepared for the call.
//  - The combining methods and the four that only touch a set take no lock:
//    a set is used by one thread at a time.
//  - Queries and pattern parts are bound as parameters, never pasted into the
//    statement text: a quote in them matches itself.
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "indexstore/db_exception.h"
#include "indexstore/index_store_module.h"
#include "indexstore/kept_statement.h"
#include "indexstore/own_statement.h"
#include "indexstore/path_pattern.h"
#include "indexstore/result_rows.h"
#include "indexstore/trovix_db.h"
#include "indexstore/word_query.h"
#include "platform/filetime.h"
#include "platform/wstring.h"
#include "shared/search_result.h"

namespace ordalis {
namespace {

using trovix::FindSearchResult;
using trovix::SearchResult;
using trovix::SearchResultRecord;

constexpr const char* kFileRecord =
    "select drives.name || directories.name || files.name, files.fileid, files.checksum, "
    "files.CreationDateTime, files.ModificationDateTime, files.LastAccessDateTime, "
    "files.TXLastUpdate, files.Status, files.SizeLo32 from drives, directories, files where "
    "drives.driveid = directories.driveid and directories.directoryid = files.directoryid and "
    "files.fileid = ?";

IndexStoreModule& Module() { return IndexStoreModule::Get(); }

// E_UNEXPECTED unless the connection is open and no compaction of this
// process runs. Called under the critical section.
[[nodiscard]] HRESULT ReadyToSearch(const IndexStoreModule& module) {
  return module.database_open && !module.compacting ? S_OK : E_UNEXPECTED;
}

// Registers a filled set and writes its handle.
[[nodiscard]] HRESULT HandOut(std::unique_ptr<SearchResult> result, UINT* handle_out) {
  const UINT handle = trovix::RegisterSearchResult(std::move(result));
  if (handle == 0) return E_OUTOFMEMORY;
  *handle_out = handle;
  return S_OK;
}

// The identifiers of the files matching `parts`, ascending. A failure to
// run the statement raises the error record; a failed move after the first
// row ends the reading quietly with the rows read so far.
std::vector<INT> MatchPath(sqlite3* db, const PatternParts& parts) {
  std::vector<WString> patterns;
  const std::string sql = PathPatternQuery(parts, &patterns);
  OwnStatement select(db, sql.c_str());
  ORDALIS_CHECK(select.status());
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    ORDALIS_CHECK(select.Bind(static_cast<int>(i + 1), patterns[i]));
  }
  std::vector<INT> ids;
  for (HRESULT hr = ORDALIS_CHECK(select.Step()); hr == S_OK; hr = select.Step()) {
    ids.push_back(static_cast<INT>(sqlite3_column_int64(select.get(), 0)));
  }
  return ids;
}

// The record of the row `row` stands on. A path longer than MAX_PATH units
// (catalogued through the batch) is cut to MAX_PATH + 1: longer than any
// path ITrovixDB takes, so a caller tells it from a whole one and reads it
// whole through ITrovixResultRows.
SearchResultRecord RecordOf(sqlite3_stmt* row) {
  SearchResultRecord record{};
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row, 0));
  const WString path = text == nullptr
                           ? WString()
                           : Utf8ToUtf16(std::string_view(
                                 text, static_cast<std::size_t>(sqlite3_column_bytes(row, 0))));
  const std::size_t length = std::min(path.size(), std::size(record.path) - 1);
  std::copy_n(path.begin(), length, record.path);
  record.FileID = static_cast<INT>(sqlite3_column_int64(row, 1));
  // Stored as signed values; the record keeps their 32 bits.
  record.Checksum = static_cast<INT>(static_cast<std::uint32_t>(sqlite3_column_int64(row, 2)));
  record.CreationDateTime = ColumnFileTime(row, 3);
  record.ModificationDateTime = ColumnFileTime(row, 4);
  record.LastAccessDateTime = ColumnFileTime(row, 5);
  record.TXLastUpdate = ColumnFileTime(row, 6);
  record.Status = static_cast<INT>(sqlite3_column_int64(row, 7));
  record.SizeLo32 = static_cast<UINT>(sqlite3_column_int64(row, 8));
  return record;
}

// The set of the words of `s`, for SearchOpenWord and
// SearchOpenWordCandidates. Called under the critical section.
[[nodiscard]] HRESULT OpenWordSet(IndexStoreModule& module, const WCHAR* s, UINT* phSearch,
                                  bool check_catalogue) {
  if (FAILED(ReadyToSearch(module))) return E_UNEXPECTED;
  return RunLogged([&] {
    const std::vector<WString> tokens = SplitQueryWords(std::u16string_view(s, WcsLen(s)));
    if (tokens.empty()) return S_FALSE;
    auto result = std::make_unique<SearchResult>(
        MatchWordTokens(module.engine().handle(), tokens, check_catalogue));
    return HandOut(std::move(result), phSearch);
  });
}

}  // namespace

HRESULT TrovixDB::SearchOpenWord(const WCHAR* s, UINT* phSearch) {
  if (s == nullptr || phSearch == nullptr) return E_INVALIDARG;
  IndexStoreModule& module = Module();
  {
    // Answers at once during a compaction, which holds the write mutex for
    // its whole run, rather than after waiting for it.
    std::lock_guard<std::recursive_mutex> guard(module.critical_section());
    if (FAILED(ReadyToSearch(module))) return E_UNEXPECTED;
  }
  // The write mutex first, then the critical section: the order of the
  // connection's open and close steps. Taken the other way round, this
  // thread could hold the critical section waiting for the write mutex
  // while another thread holds the write mutex waiting for the section.
  WriteLock lock;
  std::lock_guard<std::recursive_mutex> guard(module.critical_section());
  return OpenWordSet(module, s, phSearch, /*check_catalogue=*/true);
}

// The critical section only, as SearchOpenFileType: the candidates' reader
// is not held up by another process's batches.
HRESULT TrovixDB::SearchOpenWordCandidates(const WCHAR* s, UINT* phSearch) {
  if (s == nullptr || phSearch == nullptr) return E_INVALIDARG;
  IndexStoreModule& module = Module();
  std::lock_guard<std::recursive_mutex> guard(module.critical_section());
  return OpenWordSet(module, s, phSearch, /*check_catalogue=*/false);
}

HRESULT TrovixDB::SearchOpenFileType(const WCHAR* s, UINT* phSearch) {
  if (s == nullptr || phSearch == nullptr) return E_POINTER;
  IndexStoreModule& module = Module();
  std::lock_guard<std::recursive_mutex> guard(module.critical_section());
  if (FAILED(ReadyToSearch(module))) return E_UNEXPECTED;
  PatternParts parts;
  const HRESULT hr = SplitPathPattern(s, &parts);
  if (FAILED(hr)) return hr;
  return RunLogged([&] {
    auto result = std::make_unique<SearchResult>(MatchPath(module.engine().handle(), parts));
    return HandOut(std::move(result), phSearch);
  });
}

// Both inputs must be ascending; the merge keeps the result ascending.
HRESULT TrovixDB::SearchOpenIntersection(UINT hIn0, UINT hIn1, UINT* pHOut) {
  if (pHOut == nullptr) return E_POINTER;
  const SearchResult* in0 = FindSearchResult(hIn0);
  const SearchResult* in1 = FindSearchResult(hIn1);
  std::vector<INT> both;
  if (in0 != nullptr && in1 != nullptr) {
    std::set_intersection(in0->ids().begin(), in0->ids().end(), in1->ids().begin(),
                          in1->ids().end(), std::back_inserter(both));
  }
  const HRESULT hr = HandOut(std::make_unique<SearchResult>(std::move(both)), pHOut);
  if (FAILED(hr)) return hr;
  return in0 != nullptr && in1 != nullptr ? S_OK : S_FALSE;
}

// hIn0 keeps its order while hIn1's identifiers are removed; the result is
// then sorted, so it is ascending whatever the inputs.
HRESULT TrovixDB::SearchOpenSubtraction(UINT hIn0, UINT hIn1, UINT* pHOut) {
  if (pHOut == nullptr) return E_POINTER;
  const SearchResult* in0 = FindSearchResult(hIn0);
  const SearchResult* in1 = FindSearchResult(hIn1);
  std::vector<INT> rest;
  if (in0 != nullptr && in1 != nullptr) {
    std::vector<INT> removed = in1->ids();
    std::sort(removed.begin(), removed.end());
    std::copy_if(in0->ids().begin(), in0->ids().end(), std::back_inserter(rest),
                 [&](INT id) { return !std::binary_search(removed.begin(), removed.end(), id); });
    std::sort(rest.begin(), rest.end());
  }
  const bool empty = rest.empty();
  const HRESULT hr = HandOut(std::make_unique<SearchResult>(std::move(rest)), pHOut);
  if (FAILED(hr)) return hr;
  return empty ? S_FALSE : S_OK;
}

HRESULT TrovixDB::SearchNext(UINT hSearch, UINT_PTR v) {
  IndexStoreModule& module = Module();
  std::lock_guard<std::recursive_mutex> guard(module.critical_section());
  if (FAILED(ReadyToSearch(module))) return E_UNEXPECTED;
  if (hSearch == 0 || v == 0) return E_INVALIDARG;
  SearchResult* result = FindSearchResult(hSearch);
  if (result == nullptr) return E_INVALIDARG;
  if (result->AtEnd()) return DB_S_ENDOFROWSET;
  return RunLogged([&] {
    KeptStatementUse lookup(module.file_record, module.engine().handle(), kFileRecord);
    ORDALIS_CHECK(lookup.status());
    ORDALIS_CHECK(lookup.Bind(1, std::int64_t{result->Current()}));
    // No row: the file left the catalogue after the search. The read
    // position stays, so the caller sees the same answer again.
    if (ORDALIS_CHECK(lookup.Step()) != S_OK) return E_FAIL;
    const SearchResultRecord record = RecordOf(lookup.get());
    result->Advance();
    std::memcpy(reinterpret_cast<void*>(v), &record, sizeof record);
    return S_OK;
  });
}

HRESULT TrovixDB::SearchGetSize(UINT hSearch, UINT* pSize) {
  const SearchResult* result = FindSearchResult(hSearch);
  if (result == nullptr || pSize == nullptr) return E_INVALIDARG;
  *pSize = static_cast<UINT>(result->size());
  return S_OK;
}

HRESULT TrovixDB::SearchRewind(UINT hSearch) {
  SearchResult* result = FindSearchResult(hSearch);
  if (result == nullptr) return E_INVALIDARG;
  result->Rewind();
  return result->size() == 0 ? S_FALSE : S_OK;
}

HRESULT TrovixDB::ClearSearch(UINT hSearch) {
  SearchResult* result = FindSearchResult(hSearch);
  if (result == nullptr) return E_INVALIDARG;
  result->Clear();
  return S_OK;
}

HRESULT TrovixDB::SearchClose(UINT hSearch) {
  return trovix::CloseSearchResult(hSearch) ? S_OK : E_INVALIDARG;
}

// Unlike the string getters, a buffer too small answers S_FALSE (with the
// size needed), as the panel expects.
HRESULT TrovixDB::SearchCleanupFileQry(const WCHAR* sQry, WCHAR* sCleanQry, UINT* pcch) {
  if (pcch == nullptr) return E_POINTER;
  if (sQry == nullptr || sQry[0] == 0) return E_INVALIDARG;
  PatternParts parts;
  const HRESULT hr = SplitPathPattern(sQry, &parts);
  if (FAILED(hr)) return hr;
  const WString clean = CleanPathPattern(parts);
  const auto needed = static_cast<UINT>(clean.size() + 1);
  const bool fits = sCleanQry != nullptr && *pcch >= needed;
  if (fits) std::copy_n(clean.c_str(), needed, sCleanQry);
  *pcch = needed;
  return fits ? S_OK : S_FALSE;
}

}  // namespace ordalis
