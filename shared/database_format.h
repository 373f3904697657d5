// The database file of the index store: its tables, indexes and password.
// The installation creates the file; the index store only opens it.
#pragma once

#include <string>

#include "platform/types.h"

namespace trovix {

// Identifies a Trovix database in the file header (PRAGMA application_id).
inline constexpr int kDatabaseApplicationId = 0x54525658;  // "TRVX"
inline constexpr int kDatabaseSchemaVersion = 1;

// The five tables the index store works on.
inline constexpr const char* kDatabaseTables[] = {"Drives", "Directories", "Files", "Words",
                                                  "FilesWords"};

// Where the index store looks for the database when no other path is set:
// $XDG_DATA_HOME/Quillon/Ordalis.mdb when XDG_DATA_HOME is set, else
// <home>/.local/share/Quillon/ordalis.mdb (the file name in lower case in this
// branch, as it always was). The home folder is $HOME, else the user's entry
// in the password database.
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

}  // namespace trovix
