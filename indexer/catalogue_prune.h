// Removing from the catalogue the files that are no longer there: deleted,
// moved away, replaced by a folder, or no longer of an indexable type. A
// walk of the disk only sees what exists, so without this step entries of
// vanished files ("ghosts") would stay in the index for good.
//
// Threads: each function uses the store object it is given from the calling
// thread only; the calling thread must have initialised the component
// library and opened the store (Init).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

#include "indexer/file_processing.h"
#include "indexer/indexable_extensions.h"
#include "shared/itrovixdb.h"

namespace trovix::indexer {

// Removes one file from the catalogue: its words first, then its entry (the
// words are found through the entry, so once the entry is gone they could
// not be removed any more). S_OK when it was removed, S_FALSE when it was not
// catalogued, else the store's failure (the file may then still have its
// entry, and perhaps no words). A path longer than ITrovixDB takes (MAX_PATH
// units) is removed through ITrovixBatch, in a batch of its own.
[[nodiscard]] HRESULT RemoveCataloguedFile(ITrovixDB* store, const WCHAR* path);

struct PruneStats {
  std::size_t examined = 0;  // catalogued files at or below the folder
  std::size_t removed = 0;   // of those, removed from the catalogue
};

// Removes every catalogued file at or below `folder` for which `wanted`
// answers false. `folder` is an absolute path, with or without a trailing
// '/'; "/" means the whole catalogue. Paths are compared as bytes, so case,
// wildcard and variable characters in folder names ("_", "%", "*", "$HOME",
// "~") and names that are not UTF-8 select exactly the files below that
// folder and never those of a sibling.
//
// `keep_going` is read before each file; when it drops to 0 the pruning
// stops (files already removed stay removed). `*stats` (may be null) is
// added to.
//
// S_OK when done; E_ABORT when stopped; E_INVALIDARG for a null store or a
// relative folder; else the store's failure, at the first one (the files
// removed before it stay removed).
[[nodiscard]] HRESULT PruneFolder(ITrovixDB* store, const std::string& folder,
                                  const std::function<bool(const std::string& path)>& wanted,
                                  const std::atomic<unsigned>& keep_going, PruneStats* stats);

// The `wanted` of a folder just walked: true when `path` is, without
// following a symbolic link at its end, a regular file on the file system
// `device` (the walked folder's: the walk does not enter other mounts), of
// an indexable type, and not one of the index store's own files. A deleted
// file, one whose folder was moved or deleted, and one replaced by a folder
// or a link of the same name are all unwanted.
//
// Not detected: a folder on the way that was replaced by a symbolic link to
// a folder holding the same names; the walk does not follow that link, so
// those files are no longer refreshed, but their entries stay.
[[nodiscard]] bool IsWantedOnDisk(const std::string& path, const IndexableExtensionSet& extensions,
                                  const IndexStoreFiles& own, dev_t device);

}  // namespace trovix::indexer
