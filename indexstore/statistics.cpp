#include "indexstore/statistics.h"

namespace ordalis {
namespace {

HRESULT CountRows(Engine& engine, const char* sql, UINT* count) {
  Statement statement(engine, sql);
  const HRESULT hr = statement.Step();
  if (hr == DB_S_ENDOFROWSET) return E_FAIL;  // a count always yields a row
  if (FAILED(hr)) return hr;
  *count = static_cast<UINT>(statement.ColumnInt(0));
  return S_OK;
}

}  // namespace

HRESULT CountProcessed(Engine& engine, UINT* count) {
  return CountRows(engine, "SELECT Count(files.fileid) from Files;", count);
}

HRESULT CountIndexed(Engine& engine, UINT* count) {
  // Files whose words are in the term index count with those in the word
  // index (each once).
  if (engine.has_terms()) {
    return CountRows(engine,
                     "SELECT Count(*) FROM Files WHERE Analysis = 2 OR FileID IN "
                     "(SELECT FileID FROM FilesWords)",
                     count);
  }
  return CountRows(engine,
                   "SELECT Count(*) from \t\t\t\t   (SELECT DISTINCT fileswords.fileid from "
                   "fileswords);",
                   count);
}

}  // namespace ordalis
