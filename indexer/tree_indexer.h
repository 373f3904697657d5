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
// `enter` (when given) answers true for its path (no trailing '/').
bool IndexTree(const std::string& folder, ITrovixBatch* store, BulkIndexer& bulk,
               const WantedFile& wanted, const SettledFile& settled,
               const std::function<bool()>& keep_going, const WantedFile& enter = {});

}  // namespace trovix::indexer
