#include "reliability/index_view.h"

#include <sqlite3.h>

#include <filesystem>
#include <sstream>

#include "platform/testing/private_tree.h"

namespace trovix::reliability {

PathSet IndexableFilesOnDisk(const std::string& root) {
  namespace fs = std::filesystem;
  PathSet files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec),
       end;
       !ec && it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    if (it->is_regular_file(ec) && !it->is_symlink(ec) && path.extension() == ".txt") {
      files.insert(path.string());
    }
  }
  return files;
}

Difference Compare(const PathSet& disk, const PathSet& catalogue) {
  Difference difference;
  for (const std::string& path : disk) {
    if (catalogue.count(path) == 0) {
      ++difference.lost;
      if (difference.example.empty()) difference.example = "lost: " + path;
    }
  }
  for (const std::string& path : catalogue) {
    if (disk.count(path) == 0) {
      ++difference.ghosts;
      if (difference.example.empty()) difference.example = "ghost: " + path;
    }
  }
  return difference;
}

std::string SubtreePattern(const std::string& folder) {
  // A directory pattern matches one directory exactly; "*" in it matches
  // across "/" as well.
  return folder + "/;" + folder + "/*/";
}

PathSet PathsIn(const std::string& search_output) {
  PathSet paths;
  std::istringstream lines(search_output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] == '/') paths.insert(line);
  }
  return paths;
}

namespace {

// Runs `sql` on `db`, handing each row to `row`; false when it fails.
template <typename Row>
bool EachRow(sqlite3* db, const char* sql, Row row) {
  sqlite3_stmt* statement = nullptr;
  int step = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  while (step == SQLITE_OK || step == SQLITE_ROW) {
    step = sqlite3_step(statement);
    if (step == SQLITE_ROW) row(statement);
  }
  sqlite3_finalize(statement);
  return step == SQLITE_DONE;
}

std::string Text(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text != nullptr ? text : "";
}

}  // namespace

std::optional<StoredIndex> ReadStoredIndex(const std::string& path) {
  if (!std::filesystem::exists(path)) return std::nullopt;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return std::nullopt;
  }
  sqlite3_busy_timeout(db, 30000);
  StoredIndex index;
  // One read transaction, so that the three answers agree.
  bool read = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  read = read && EachRow(db,
                         "SELECT Drives.Name || Directories.Name || Files.Name, "
                         "EXISTS (SELECT 1 FROM FilesWords WHERE FileID = Files.FileID) "
                         "OR Files.Analysis = 2 "
                         "FROM Files JOIN Directories USING (DirectoryID) "
                         "JOIN Drives ON Drives.DriveID = Directories.DriveID",
                         [&](sqlite3_stmt* row) {
                           index.catalogue.insert(Text(row, 0));
                           if (sqlite3_column_int(row, 1) != 0)
                             index.with_words.insert(Text(row, 0));
                         });
  read =
      read && EachRow(db,
                      "SELECT Drives.Name || Directories.Name || Files.Name, lower(Words.Word), "
                      "FilesWords.WordCount FROM FilesWords JOIN Files USING (FileID) "
                      "JOIN Words ON Words.ID = FilesWords.WordID "
                      "JOIN Directories USING (DirectoryID) "
                      "JOIN Drives ON Drives.DriveID = Directories.DriveID "
                      "UNION ALL SELECT Drives.Name || Directories.Name || Files.Name, Terms.Term, "
                      "FileTerms.Freq >> 1 FROM FileTerms JOIN Files USING (FileID) "
                      "JOIN Terms USING (TermID) JOIN Directories USING (DirectoryID) "
                      "JOIN Drives ON Drives.DriveID = Directories.DriveID "
                      "WHERE FileTerms.Freq >= 2",
                      [&](sqlite3_stmt* row) {
                        index.counts[{Text(row, 0), Text(row, 1)}] += sqlite3_column_int64(row, 2);
                      });
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  if (!read) return std::nullopt;
  return index;
}

std::string IntegrityCheck(const std::string& path) {
  if (!std::filesystem::exists(path)) return "no database at " + path;
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  std::string result;
  if (rc != SQLITE_OK) {
    result = std::string("cannot open: ") + sqlite3_errstr(rc);
  } else {
    sqlite3_busy_timeout(db, 30000);
    sqlite3_stmt* statement = nullptr;
    int step = sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr);
    while (step == SQLITE_OK || step == SQLITE_ROW) {
      step = sqlite3_step(statement);
      if (step == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        result += (result.empty() ? "" : "\n") + std::string(text != nullptr ? text : "");
      }
    }
    if (step != SQLITE_DONE) result += std::string(" (check failed: ") + sqlite3_errmsg(db) + ")";
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return result;
}

std::size_t LogRecordCount(const std::string& path) {
  std::istringstream lines(testing::ReadFile(path));
  const std::string separator(30, '-');
  std::size_t count = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line == separator) ++count;
  }
  return count;
}

}  // namespace trovix::reliability
