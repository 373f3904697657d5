// The two views the suite compares: what is on the disk, found by a walk of
// the test's own, and what the index holds, as the installed `trovix`
// reports it; plus the checks of the database file itself.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace trovix::reliability {

using PathSet = std::set<std::string>;

// Every file under `root` the indexer must catalogue: the regular files
// whose names end in ".txt" (the cases create no other indexable type; a
// file of another type stands for the ones no rule indexes). Symbolic links
// are not followed, as the indexer's walk does not follow them.
[[nodiscard]] PathSet IndexableFilesOnDisk(const std::string& root);

// How a catalogue differs from the disk.
struct Difference {
  std::size_t lost = 0;    // on the disk, not in the catalogue
  std::size_t ghosts = 0;  // in the catalogue, not on the disk
  std::string example;     // one offending path, for the failure message
  [[nodiscard]] bool none() const { return lost == 0 && ghosts == 0; }
};

[[nodiscard]] Difference Compare(const PathSet& disk, const PathSet& catalogue);

// The --include patterns of `trovix search` that take in every file at any
// depth below `folder`: its own files, and those of every folder below.
[[nodiscard]] std::string SubtreePattern(const std::string& folder);

// The paths in the output of `trovix search` (lines that start with '/').
[[nodiscard]] PathSet PathsIn(const std::string& search_output);

// What a database holds, read straight from its tables: every catalogued
// path, those that have words, and each (path, term of the term index or
// lower-cased word of the word index) with its count in the file's text.
struct StoredIndex {
  PathSet catalogue;
  PathSet with_words;
  std::map<std::pair<std::string, std::string>, long> counts;
};

// The database at `path`, opened read-only with the system SQLite; nullopt
// when it cannot be read.
[[nodiscard]] std::optional<StoredIndex> ReadStoredIndex(const std::string& path);

// PRAGMA integrity_check of the database at `path`, opened read-only with
// the system SQLite (never through the fault VFS): "ok", the problems it
// lists, or why the file could not be checked.
[[nodiscard]] std::string IntegrityCheck(const std::string& path);

// The number of records in the diagnostic log at `path` (each begins with a
// line of 30 hyphens); 0 when there is no log.
[[nodiscard]] std::size_t LogRecordCount(const std::string& path);

}  // namespace trovix::reliability
