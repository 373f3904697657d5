// Walking a folder tree for files to index.
//
// Depth-first, in the order the file system lists the entries. Symbolic
// links are not followed; a folder on another mounted file system than the
// walk's starting folder is not entered; entries that are neither regular
// files nor folders (devices, FIFOs, sockets) are passed over. A folder that
// cannot be listed counts as done.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace trovix::indexer {

// Called with the path of each regular file.
using FileVisitor = std::function<void(const std::string& path)>;

// Walks `folder` (with or without a trailing '/'). `keep_going`, read before
// each entry, stops the walk when it becomes 0. Returns true when the walk
// ran to its end, false when it was stopped.
bool WalkFolder(const std::string& folder, const FileVisitor& visit,
                const std::atomic<unsigned>& keep_going);
// The same with a condition asked before each entry; the walk stops when it
// answers false (the visitor may make it do so).
bool WalkFolder(const std::string& folder, const FileVisitor& visit,
                const std::function<bool()>& keep_going);

}  // namespace trovix::indexer
