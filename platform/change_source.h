// Change notifications for one folder tree, from inotify.
//
// inotify watches single directories, so the source keeps one watch on every
// directory under the root and a map from watch descriptor to the directory's
// path relative to the root. Invariants, on the owner thread between calls:
//
//   1. Every directory of the tree that is on the root's file system, not
//      reached through a symbolic link and not skipped (see Skip) is watched,
//      except those whose watch failed; each failure is reported in a batch (`unwatched`, and the
//      error callback) so the caller can schedule a scan.
//   2. The path stored for each watch is the directory's current path, as far
//      as the events read so far tell: a directory renamed inside the tree
//      takes its whole subtree's paths along, a directory moved out of the
//      tree loses its watches, a deleted one loses its watch on IN_IGNORED.
//   3. A directory is watched before it is listed. A file made in a new
//      directory before the watch existed shows up in the listing, one made
//      after it in an event; a file in both is reported twice, never zero
//      times.
//
// After an event-queue overflow the map is rebuilt by walking the tree again
// (renames may have been lost with the queue), and the batch says `overflow`.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/types.h"

namespace trovix {

// One change under the root. `action` uses the change record's codes: 1 added,
// 2 removed, 3 modified (content, close after write, or attributes), 4 renamed
// from (old name), 5 renamed to (new name).
struct ChangeRecord {
  DWORD action = 0;
  // Relative to the root: no leading '/', components joined by '/'. Bytes that
  // are not valid UTF-8 appear as lone surrogates U+DCxx (see wstring.h).
  WString path;
  bool directory = false;  // the entry is, or was, a directory
  // A file created or written to (1 or 3) and not closed after it within the
  // batch: its writer may not be done. False for a close after writing, an
  // attribute change, a rename and the source's own listings.
  bool writing = false;

  bool operator==(const ChangeRecord&) const = default;
};

// What one WaitForChanges call collected.
//
// Besides the kernel's own records, a batch carries listings the source made
// itself, of regular files only:
//   - a directory that appears (created, or moved in from outside the tree)
//     brings action 1 for every file under it, because files made before its
//     watch existed raise no event;
//   - a directory renamed inside the tree brings, for every file under it, a
//     4 for its old path and a 5 for its new one, as if each file had been
//     renamed, so that the index follows the directory.
// A directory moved out of the tree brings only its own 4: what was inside it
// is not known any more.
struct ChangeBatch {
  std::vector<ChangeRecord> records;
  // Changes were lost: the kernel's queue overflowed, or a listing passed the
  // batch bound. The caller should scan the whole tree.
  bool overflow = false;
  // Directories whose watch failed since the previous batch (watch limit,
  // out of memory); changes below them go unseen until the next scan.
  std::size_t unwatched = 0;
  // RequestStop was called. Nothing else in the batch is meaningful.
  bool stopped = false;
  // The root itself was deleted, moved or unmounted: no further changes come.
  bool root_gone = false;
};

// Threads: the owner thread calls Start and WaitForChanges; RequestStop may be
// called from any thread, before, during or after either.
class ChangeSource {
 public:
  // One line per incident, on the owner thread.
  using ErrorLog = std::function<void(const std::string& line)>;
  // True for an entry (path relative to the root, as in ChangeRecord) that
  // is left alone: a skipped directory gets no watch and is not listed, so
  // nothing below it is ever reported; a skipped file makes no record.
  // Called on the owner thread.
  using Skip = std::function<bool(const std::string& relative, bool directory)>;

  // The most records a batch holds. Reading from the kernel stops well below
  // it (what is not read stays queued); listings past it are dropped and the
  // batch says `overflow`.
  static constexpr std::size_t kMaxRecords = 65536;
  // The read buffer: large enough that one read collects many changes, far
  // above the largest single event (header plus NAME_MAX + 1 name bytes).
  static constexpr std::size_t kBufferBytes = 65280;

  // `root`: absolute UTF-8 path; trailing slashes are ignored. Opens the
  // inotify instance and the stop eventfd; no watch is made yet.
  explicit ChangeSource(std::string root, ErrorLog log = {}, Skip skip = {});
  ~ChangeSource();
  ChangeSource(const ChangeSource&) = delete;
  ChangeSource& operator=(const ChangeSource&) = delete;

  // Watches the tree (no records: what is there already is the scan's job).
  // Returns 0, or the errno value when the descriptors could not be opened or
  // the root could not be watched (then WaitForChanges reports `root_gone`).
  // Failures below the root are reported by the first batch. Returns early,
  // with 0, when a stop is requested meanwhile.
  [[nodiscard]] int Start();

  // Waits up to `timeout_ms` (negative: no limit) for changes, then returns
  // every change readable at that moment, up to the bounds above. A batch
  // may be empty: the time ran out, or the events read report nothing.
  [[nodiscard]] ChangeBatch WaitForChanges(int timeout_ms);

  // The stop packet: wakes WaitForChanges, which reports `stopped` from then on.
  void RequestStop();

  // True once a watch failed because the user's inotify watch limit was
  // reached (fs.inotify.max_user_watches). Owner thread.
  [[nodiscard]] bool watch_limit_reached() const { return watch_limit_reached_; }
  // Directories watched now. Owner thread.
  [[nodiscard]] std::size_t watch_count() const { return path_of_.size(); }
  // The root without trailing slashes ("/" stays "/").
  [[nodiscard]] const std::string& root() const { return root_; }

 private:
  struct Listing;  // what a walk reports, see change_source.cpp
  struct PendingMove {
    std::uint32_t cookie;
    std::string path;
  };

  [[nodiscard]] std::string Absolute(const std::string& relative) const;
  bool Watch(const std::string& relative);
  void NoteWatchFailure(int error);
  void Bind(int wd, const std::string& relative);
  void Unbind(int wd);
  void WalkTree(const std::string& top, const Listing& listing, ChangeBatch* batch);
  void ListDirectory(const std::string& dir, const Listing& listing, ChangeBatch* batch,
                     std::vector<std::string>* todo);
  static void ReportListed(const std::string& path, const Listing& listing, ChangeBatch* batch);
  bool ReadEvents(ChangeBatch* batch);
  void HandleEvent(int wd, std::uint32_t mask, std::uint32_t cookie, const std::string& name,
                   ChangeBatch* batch);
  void HandleMovedTo(const std::string& path, std::uint32_t cookie, ChangeBatch* batch);
  void RenameSubtree(const std::string& from, const std::string& to);
  void DropSubtree(const std::string& top);
  void SettleMoves(ChangeBatch* batch);
  void Resync();
  void TakePendingFaults(ChangeBatch* batch);
  [[nodiscard]] bool Readable(int timeout_ms);

  std::string root_;
  ErrorLog log_;
  Skip skip_;
  int inotify_fd_ = -1;
  int stop_fd_ = -1;
  int open_error_ = 0;
  std::atomic<bool> stop_requested_{false};

  // Everything below belongs to the owner thread.
  std::unique_ptr<char[]> buffer_;  // kBufferBytes
  unsigned long root_device_ = 0;
  int root_wd_ = -1;
  std::unordered_map<int, std::string> path_of_;  // watch -> relative path
  std::map<std::string, int> wd_of_;  // relative path -> watch; ordered for subtree ranges
  // Directories moved away whose destination has not been read yet.
  std::vector<PendingMove> pending_moves_;
  bool watch_limit_reached_ = false;
  std::size_t unwatched_ = 0;      // failures not yet reported in a batch
  int first_unwatched_error_ = 0;  // errno of the first of them
  bool overflow_pending_ = false;
  bool root_gone_ = false;
};

}  // namespace trovix
