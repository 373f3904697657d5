#include "indexer/change_coalescer.h"

#include <algorithm>

namespace trovix::indexer {

void ChangeCoalescer::NoteChange(const WString& path, Time now, bool writing) {
  auto found = entries_.find(path);
  Entry* entry = found != entries_.end() ? &found->second : nullptr;
  // An untracked file whose change is complete is due at once: nothing to
  // remember until it is indexed.
  if (entry == nullptr && !writing) return;
  if (entry == nullptr) entry = Track(path, now);
  if (entry == nullptr) return;
  if (!entry->waiting) {
    entry->waiting = true;
    entry->first_waiting = now;
    entry->busy = entry->indexed && now - entry->last_indexing < rule_.busy_window;
  }
  entry->last_change = now;
  entry->writing = writing;
}

void ChangeCoalescer::Forget(const WString& path) { entries_.erase(path); }

void ChangeCoalescer::NoteIndexing(const WString& path, Time start) {
  Entry* entry = Track(path, start);
  if (entry == nullptr) return;
  *entry = Entry{};
  entry->indexed = true;
  entry->last_indexing = start;
}

void ChangeCoalescer::NoteCost(const WString& path, Duration cost) {
  if (const auto found = entries_.find(path); found != entries_.end()) found->second.cost = cost;
}

ChangeCoalescer::Time ChangeCoalescer::DueAt(const WString& path) const {
  const auto found = entries_.find(path);
  if (found == entries_.end() || !found->second.waiting) return Time::min();
  const Entry& entry = found->second;
  // Calm and closed: the writer is done, so the change is due now.
  Time settled = entry.busy || entry.writing ? entry.last_change + rule_.quiet : entry.last_change;
  settled = std::min(settled, entry.first_waiting + rule_.longest_wait);
  return std::max(settled, EarliestIndexing(entry));
}

ChangeCoalescer::Time ChangeCoalescer::EarliestIndexing(const Entry& entry) const {
  if (!entry.indexed) return Time::min();
  return entry.last_indexing + entry.cost * rule_.time_share;
}

ChangeCoalescer::Entry* ChangeCoalescer::Track(const WString& path, Time now) {
  if (const auto found = entries_.find(path); found != entries_.end()) return &found->second;
  if (entries_.size() >= kMostTracked) Prune(now);
  if (entries_.size() >= kMostTracked) return nullptr;
  return &entries_[path];
}

// An entry with nothing waiting, whose busy window and cost wait have both
// passed, decides nothing an untracked path would not: it can go.
void ChangeCoalescer::Prune(Time now) {
  if (last_prune_ != Time::min() && now - last_prune_ < kPruneEvery) return;
  last_prune_ = now;
  std::erase_if(entries_, [&](const auto& item) {
    const Entry& entry = item.second;
    if (entry.waiting) return false;
    if (!entry.indexed) return true;
    return now >= std::max(entry.last_indexing + rule_.busy_window, EarliestIndexing(entry));
  });
}

}  // namespace trovix::indexer
