#include "shared/search_result.h"

#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

namespace trovix {
namespace {

// The process's result sets. Never destroyed: sets still open when the
// process exits are the caller's leak, and a table destroyed before a late
// SearchClose (from another library's static destructor) would crash.
struct HandleTable {
  std::mutex mutex;
  // Guarded by mutex.
  std::unordered_map<UINT, std::unique_ptr<SearchResult>> sets;
  // Guarded by mutex. The next handle to try; handles count up and wrap,
  // skipping 0 and handles still open.
  UINT next = 1;
};

HandleTable& Table() {
  static auto* table = new HandleTable;
  return *table;
}

}  // namespace

SearchResult::SearchResult() = default;
SearchResult::SearchResult(std::vector<INT> ids) : ids_(std::move(ids)) {}
SearchResult::~SearchResult() = default;

void SearchResult::Append(INT id) { ids_.push_back(id); }

void SearchResult::Assign(std::vector<INT> ids) {
  ids_ = std::move(ids);
  position_ = 0;
}

void SearchResult::Advance() {
  if (position_ < ids_.size()) ++position_;
}

void SearchResult::Clear() {
  ids_.clear();
  ids_.shrink_to_fit();
  position_ = 0;
}

UINT RegisterSearchResult(std::unique_ptr<SearchResult> result) {
  if (!result) return 0;
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.mutex);
  // Terminates: fewer than 2^32 - 1 sets can be open at once.
  while (table.next == 0 || table.sets.contains(table.next)) ++table.next;
  const UINT handle = table.next++;
  try {
    table.sets.emplace(handle, std::move(result));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return handle;
}

SearchResult* FindSearchResult(UINT handle) {
  if (handle == 0) return nullptr;
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.mutex);
  const auto found = table.sets.find(handle);
  return found != table.sets.end() ? found->second.get() : nullptr;
}

bool CloseSearchResult(UINT handle) {
  std::unique_ptr<SearchResult> closed;
  {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    const auto found = table.sets.find(handle);
    if (found == table.sets.end()) return false;
    closed = std::move(found->second);
    table.sets.erase(found);
  }
  return true;  // the set is destroyed here, outside the table's lock
}

}  // namespace trovix
