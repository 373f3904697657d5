// Reading the catalogue rows of a result set's files: what SearchNext and
// ReadResultRows (shared/itrovixresultrows.h) share.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "indexstore/own_statement.h"
#include "platform/types.h"

namespace ordalis {

// The date in `column` as a file time; the zero time for a date the
// calendar of file times cannot hold.
[[nodiscard]] FILETIME ColumnFileTime(sqlite3_stmt* row, int column);

// The Files rows of ascending (or nearly ascending) identifiers, from one
// statement over Files in identifier order. Moving to a near identifier steps
// the statement, a fraction of a microsecond a row; to a far one (or back)
// runs it afresh from there, one index seek. The statement's row is
// readable with the k* columns below while MoveTo last answered S_OK.
class FileRowCursor {
 public:
  static constexpr int kFileId = 0;
  static constexpr int kDirectoryId = 1;
  static constexpr int kName = 2;
  static constexpr int kChecksum = 3;
  static constexpr int kCreation = 4;
  static constexpr int kModification = 5;
  static constexpr int kLastAccess = 6;
  static constexpr int kLastUpdate = 7;
  static constexpr int kStatus = 8;
  static constexpr int kSizeLo32 = 9;

  explicit FileRowCursor(sqlite3* db);
  [[nodiscard]] HRESULT status() const { return select_.status(); }

  // S_OK standing on the row of `id`; S_FALSE when Files has none; the
  // engine's failure otherwise.
  [[nodiscard]] HRESULT MoveTo(std::int64_t id);
  [[nodiscard]] sqlite3_stmt* row() const { return select_.get(); }

 private:
  // Runs the statement for the rows from `lowest` on.
  [[nodiscard]] HRESULT Run(std::int64_t lowest);
  // One step; at the end, no row is left from `end_from_` on.
  [[nodiscard]] HRESULT Step();

  OwnStatement select_;
  bool ran_ = false;
  bool on_row_ = false;
  std::int64_t current_ = 0;   // the row's identifier, when on_row_
  std::int64_t end_from_ = 0;  // when ran_ and not on_row_: no row from here on
};

// Drive + directory of each folder, looked up once per call and folder: a
// result holds many files of few folders.
class FolderPaths {
 public:
  explicit FolderPaths(sqlite3* db);
  [[nodiscard]] HRESULT status() const { return select_.status(); }

  // Reads every folder at once, in one pass over Directories, when
  // `files` rows are about to be read and that is cheaper than a lookup per
  // folder met: with at least two files per folder of the catalogue (the
  // highest folder identifier stands for their number). S_OK, or the
  // engine's failure.
  [[nodiscard]] HRESULT Prepare(std::size_t files);

  // S_OK with `*path` pointing at the folder's path (valid as long as this
  // object); S_FALSE when the folder or its drive has no row; the engine's
  // failure otherwise.
  [[nodiscard]] HRESULT Find(std::int64_t directory_id, const std::string** path);

 private:
  sqlite3* db_;
  OwnStatement select_;
  // A folder without a row maps to no value.
  std::unordered_map<std::int64_t, std::optional<std::string>> known_;
  // After a Prepare that read them all: by identifier.
  bool all_read_ = false;
  std::vector<std::optional<std::string>> all_;
};

}  // namespace ordalis
