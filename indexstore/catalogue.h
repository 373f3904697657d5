// Helpers shared by the two halves of the catalogue: catalogue.cpp (the
// methods that write: AddFile, UpdateFile, the deletions and the renames) and
// catalogue_lookup.cpp (the methods that only read).
//
// Every catalogue method holds the write mutex (WriteLock) from before its
// first database access to its return, and re-enters it when it calls other
// catalogue methods. Paths and names are compared exactly, code unit by code
// unit, as Linux names are.
#pragma once

#include <string_view>

#include "indexstore/db_exception.h"
#include "indexstore/engine.h"
#include "indexstore/path_split.h"
#include "platform/file_info.h"
#include "platform/types.h"

namespace ordalis::catalogue {

// A caller's path or name argument of ITrovixDB: false when it is null or
// longer than MAX_PATH units (the length is counted no further than that).
[[nodiscard]] bool PathArgument(const WCHAR* s, std::u16string_view* view);

// A path argument of the store's own interfaces (the batch), which take
// every path the catalogue holds: false when it is null or its UTF-8 form
// is longer than kMaxCataloguedPathBytes (the length is counted no further
// than that many units, each of which is at least a byte).
[[nodiscard]] bool LongPathArgument(const WCHAR* s, std::u16string_view* view);

// Inside the caller's write mutex and error handler: the identifier of the
// one directory row named `name` on the drive `drive_id`, S_FALSE (`*id`
// unchanged) when there is none or several (AddFile then files under a row
// of its own). No limit on the name's length; a failure is raised.
[[nodiscard]] HRESULT SingleDirectoryId(std::u16string_view name, INT drive_id, INT* id);

// Writes a log record for an argument found unusable at `file`:`line` and
// answers E_INVALIDARG, for the checks whose failures are logged.
[[nodiscard]] HRESULT LoggedInvalidArgument(const char* file, int line);

// Raises an error record for a failure detected by the catalogue itself.
[[noreturn]] inline void Raise(HRESULT hr, const char* file, int line) {
  throw CDBException{hr, file, line};
}

inline HRESULT BindOne(Statement& statement, int index, std::int32_t value) {
  return statement.Bind(index, static_cast<std::int64_t>(value));
}
inline HRESULT BindOne(Statement& statement, int index, std::int64_t value) {
  return statement.Bind(index, value);
}
inline HRESULT BindOne(Statement& statement, int index, double value) {
  return statement.Bind(index, value);
}
inline HRESULT BindOne(Statement& statement, int index, std::u16string_view value) {
  return statement.Bind(index, value);
}

// Binds `values` to the parameters 1, 2, ... in order; stops at the first
// failure and returns it.
template <typename... Values>
[[nodiscard]] HRESULT BindAll(Statement& statement, const Values&... values) {
  HRESULT hr = statement.status();
  int index = 0;
  ((hr = SUCCEEDED(hr) ? BindOne(statement, ++index, values) : hr), ...);
  return hr;
}

// Steps `lookup` to its first row and reads the identifier in `column`: S_OK
// with `*id` set, S_FALSE when there is no row or the identifier is 0 (which
// no row has), E_FAIL for a success code other than row or end; a failure is
// raised. `*id` is written only with S_OK.
[[nodiscard]] HRESULT FirstId(Statement& lookup, int column, INT* id);

// The single value of a Count(*) statement; raises a failure.
[[nodiscard]] std::int64_t CountOf(Statement& count);

}  // namespace ordalis::catalogue

namespace ordalis {

class TrovixDB;

// The values AddFile, UpdateFile and the batch write into a Files row.
struct FileRow {
  DATE creation;
  DATE modification;
  DATE last_access;
  DATE tx_last_update;
  std::int32_t checksum;
  std::int32_t size_lo32;
};

// The row for a file with `attributes`; reads the file's checksum. The
// update time is the time of the call. Needs no lock.
[[nodiscard]] FileRow FileRowFor(const FileAttributes& attributes, const std::string& path);

// True when `path` names the database file or its -wal, -shm or -journal
// file, by file identity (so links and other spellings count) or by
// canonical name. stat and realpath only: neither opens the file. Under the
// write mutex (it reads the database path).
[[nodiscard]] bool NamesDatabaseFile(const std::string& path);

// Attributes of a file the catalogue can hold: a regular file or a directory
// (devices, FIFOs and sockets are system entries, never catalogued). False
// when they cannot be read.
[[nodiscard]] bool ReadCatalogueAttributes(const std::string& path, FileAttributes* attributes);

// Inside the caller's transaction and write mutex: refreshes the row of
// `file_id` with `row`, or, for 0, adds the file's drive and directory rows
// when missing and a new file row. Names are stored whole, however long
// (AddFile, bound to MAX_PATH, cuts them instead). Answers the file's
// identifier; raises a failure.
[[nodiscard]] INT WriteFileRow(TrovixDB& db, const PathParts& parts, const FileRow& row,
                               INT file_id);

}  // namespace ordalis
