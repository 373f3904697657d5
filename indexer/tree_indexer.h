// Bringing the index of a folder tree up to date through the bulk pipeline,
// asking the catalogue once per folder instead of several times per file.
//
// The walk follows the folder walk's rules (directory_walk.h): depth-first,
// symbolic links not followed, other mounts not entered, only regular files.
// In each folder the entries are listed, the catalogue's rows of that folder
// are read with one ReadFolder, and each wanted file is then:
//  - kTooLong when its path is longer than the catalogue holds;
//  - kUnchanged when it has a row that was written no earlier than the
//    file's last write and has words (the same test as FileDueForUpdate and
//    FileIndexed make);
//  - otherwise queued on the bulk indexer, which reports it when written.
//
// With a `prune` test the walk also takes out of the catalogue, through the
// bulk indexer (done() reports each with `removal` set), what is no longer
// there: in each folder it lists, the catalogued files that are not among
// its wanted files (deleted, renamed, replaced by a folder, no longer
// wanted) and that `prune` rejects; and after a complete walk from a root
// it could list, the catalogued files of the folders it did not list
// (deleted or moved away, skipped, on another mount, unreadable) that
// `prune` rejects. Only those few are examined one by one on disk; the rest
// costs no system call beyond the walk's own.
//
// Threads: the caller's thread, which has initialised the component library
// and owns `store`.
#pragma once

#include <functional>
#include <string>

#include "indexer/bulk_indexer.h"
#include "indexer/file_processing.h"
#include "shared/itrovixbatch.h"

namespace trovix::indexer {

using WantedFile = std::function<bool(const std::string& path)>;
// Told of each file settled without the pipeline: kUnchanged, kTooLong, or
// kStoreUnavailable when the bulk indexer refused it (after a store failure
// or a stop).
using SettledFile = std::function<void(const std::string& path, FileOutcome outcome)>;

// Walks `folder` (absolute, with or without a trailing '/'). `keep_going` is
// asked before each entry. True when the walk ran to its end; false when
// `keep_going` answered false. A folder the catalogue cannot be read for has
// all its wanted files queued. A folder below `folder` is entered only when
// `enter` (when given) answers true for its path (no trailing '/'). A
// folder whose catalogue cannot be read has nothing removed; when the
// catalogued folders cannot be read, only the listed folders are pruned.
bool IndexTree(const std::string& folder, ITrovixBatch* store, BulkIndexer& bulk,
               const WantedFile& wanted, const SettledFile& settled,
               const std::function<bool()>& keep_going, const WantedFile& enter = {},
               const WantedFile& prune = {});

}  // namespace trovix::indexer
