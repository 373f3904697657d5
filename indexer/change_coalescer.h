// When a changed file is due to be indexed: the rule that keeps a file
// written to again and again (a log, a download, a file appended to every
// second) from being indexed again and again.
//
// States of one path's entry:
//  1. Untracked (no entry). A change is due at once, unless the writer is
//     still at it (`writing`): then the path becomes waiting (2 or 3).
//  2. Waiting, calm: the change came while the path had not been indexed
//     for rule.busy_window. Due when the writer closed the file (the last
//     change is complete), or when no change came for rule.quiet.
//  3. Waiting, busy: the change came within rule.busy_window after an
//     indexing of the path began. Due when no change came for rule.quiet;
//     a close does not count, since a writer that appends reopens the file
//     for every line.
//  4. Indexed: the applier began indexing the path (NoteIndexing). Nothing
//     waits; the next change finds the path busy or calm by the time since.
// Removing or renaming the path away (Forget) returns it to 1.
//
// Invariants:
//  1. A waiting change is never due later than rule.longest_wait after the
//     first change that waits, whatever comes after it, so a file that never
//     goes quiet is still indexed that often.
//  2. No indexing of a path starts sooner than rule.time_share times its
//     last indexing's cost after that indexing began: one file takes at most
//     1/time_share of the applier's time (3 s a minute by default). This may
//     put a change past invariant 1's bound, by at most that wait.
//  3. An untracked path is due at once, and DueAt never answers a time
//     later than the bounds above, so forgetting an entry (or having no room
//     for one) only makes a change due sooner: nothing is ever held for good.
//  4. Memory is bounded: at most kMostTracked entries. When the table is
//     full, entries with nothing waiting whose busy window and cost wait have
//     passed are dropped; when none can be, a new path stays untracked.
//
// Threads: none of its own; the owner serialises every call (the task worker
// holds its WorkMutex).
#pragma once

#include <chrono>
#include <cstddef>
#include <unordered_map>

#include "platform/types.h"

namespace trovix::indexer {

struct CoalescingRule {
  using Duration = std::chrono::steady_clock::duration;
  // No change for this long: the writer has paused.
  Duration quiet = std::chrono::milliseconds(2500);
  // A change this soon after an indexing began means the file is busy.
  Duration busy_window = std::chrono::seconds(30);
  // A waiting change is indexed after this long at the latest.
  Duration longest_wait = std::chrono::minutes(2);
  // One file takes at most 1/time_share of the time.
  int time_share = 20;
};

class ChangeCoalescer {
 public:
  using Clock = std::chrono::steady_clock;
  using Time = Clock::time_point;
  using Duration = Clock::duration;

  static constexpr std::size_t kMostTracked = 4096;
  // A full table is searched for entries to drop at most this often, so
  // that a burst of changes to many files costs no search per change.
  static constexpr Duration kPruneEvery = std::chrono::seconds(1);

  explicit ChangeCoalescer(CoalescingRule rule = {}) : rule_(rule) {}

  // A change of the file `path` at `now`. `writing`: the writer may not be
  // done (the file was created or written to, and not closed after it).
  void NoteChange(const WString& path, Time now, bool writing);
  // The file left under this name (removed, or renamed away): whatever
  // waited is due, and a file made under the name starts untracked.
  void Forget(const WString& path);
  // The applier began indexing `path` at `start`: the changes that waited
  // are taken.
  void NoteIndexing(const WString& path, Time start);
  // What the indexing begun last for `path` took (a share of its group's
  // time when the file was indexed with others).
  void NoteCost(const WString& path, Duration cost);

  // When the change of `path` is due: Time::min() when nothing waits for
  // it (untracked, or indexed since its last change).
  [[nodiscard]] Time DueAt(const WString& path) const;
  [[nodiscard]] bool Due(const WString& path, Time now) const { return DueAt(path) <= now; }

  [[nodiscard]] std::size_t tracked() const { return entries_.size(); }

 private:
  struct Entry {
    bool waiting = false;
    bool busy = false;     // state 3 rather than 2
    bool writing = false;  // the last change did not end with a close
    Time first_waiting{};  // the first change that waits
    Time last_change{};
    bool indexed = false;  // last_indexing and cost are known
    Time last_indexing{};
    Duration cost{};
  };

  // The entry of `path`, made when missing and there is room (invariant 4);
  // null when there is none.
  Entry* Track(const WString& path, Time now);
  void Prune(Time now);
  [[nodiscard]] Time EarliestIndexing(const Entry& entry) const;

  const CoalescingRule rule_;
  std::unordered_map<WString, Entry> entries_;
  Time last_prune_ = Time::min();
};

}  // namespace trovix::indexer
