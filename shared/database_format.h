// The database file of the index store: its tables, indexes and password.
// The installation creates the file; the index store only opens it.
#pragma once

#include <string>

#include "platform/types.h"

struct sqlite3;

namespace trovix {

// Identifies a Trovix database in the file header (PRAGMA application_id).
inline constexpr int kDatabaseApplicationId = 0x54525658;  // "TRVX"
// Version 2 added the term index (Terms, FileTerms, Files.Analysis);
// version 3 orders its term-to-file index by blocks of files first.
inline constexpr int kDatabaseSchemaVersion = 3;

// The term-to-file index (FileTermsByBlock) is ordered by the block of the
// file (FileID >> kFileBlockBits), then the term, then the file. New files
// take the next identifiers, so the rows a batch of new files adds all fall
// into the newest block or two, and a commit writes those pages again rather
// than one page per term all over the index: ordered by term first, a first
// index of 300,000 files (45,000 documents, a 750 MB database) wrote 9.5 GB,
// twelve times its size, because every commit touched nearly every leaf of
// the index. The price is one index seek per block for each term a search
// reads. The bits are part of the file format: the index expression and the
// statements that use it must spell the same number.
inline constexpr int kFileBlockBits = 12;

// The five tables the index store works on.
inline constexpr const char* kDatabaseTables[] = {"Drives", "Directories", "Files", "Words",
                                                  "FilesWords"};

// Where the index store looks for the database when no other path is set:
// <data>/Quillon/Ordalis.mdb, where <data> is $XDG_DATA_HOME when it is
// absolute, else <home>/.local/share. The home folder is $HOME, else the
// user's entry in the password database. Older installations named the file
// "ordalis.mdb" when XDG_DATA_HOME was unset; the installer renames it.
inline constexpr const char kDatabaseFileName[] = "Ordalis.mdb";
inline constexpr const char kOldDatabaseFileName[] = "ordalis.mdb";
struct DatabaseLocation {
  enum class Failure { kNone, kNoUserEntry, kNoHomeFolder, kTooLong };
  std::string path;  // UTF-8; empty on failure
  Failure failure = Failure::kNone;
};
[[nodiscard]] DatabaseLocation DefaultDatabaseLocation();

// The password the open step compares with the one stored in the file. It
// is kept reversed so that it is not one greppable string in the binaries.
[[nodiscard]] WString DatabasePassword();

// Creates a new database file at `path` with the tables, indexes and
// password, in WAL mode, mode 0600. The file is built under a temporary name
// in the same folder and linked into place, so an existing file is never
// touched (the answer is then HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)) and a
// crash never leaves a half-made database under `path`. The folder must
// exist.
[[nodiscard]] HRESULT CreateDatabase(const std::string& path);

// Renames the database file `from` to `to` (same folder) with its log
// folded in: the engine opens it, which completes any interrupted write, and
// the last connection to close checkpoints the -wal into the file and
// removes it, so one atomic rename moves the whole database. Never replaces
// a file: HRESULT_FROM_WIN32(ERROR_FILE_EXISTS) when `to` exists,
// HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) when a -wal is left because
// another process has the database open (nothing is renamed then), the
// engine's or the rename's failure otherwise.
[[nodiscard]] HRESULT MoveDatabaseFile(const std::string& from, const std::string& to);

// Brings a database of an earlier version to this one, in one transaction
// of the engine: a version 1 file gains the term index, empty, and keeps
// every row it had; a version 2 file has its term-to-file index rebuilt in
// the order of blocks (see kFileBlockBits). Nothing happens to a current
// file. A reader of a version 2 file that no writer upgraded yet finds the
// same files through the old index, more slowly. Answers the engine's
// result code (SQLITE_OK); after a failure the file is as it was.
[[nodiscard]] int UpgradeDatabase(sqlite3* db);

// True when the database on `db` has the term index (version 2 or later).
[[nodiscard]] bool HasTermTables(sqlite3* db);

}  // namespace trovix
