#include "indexer/change_monitor.h"

#include <cstdio>
#include <ctime>
#include <system_error>
#include <utility>

#include "indexer/indexable_extensions.h"
#include "platform/paths.h"
#include "platform/wstring.h"
#include "shared/index_limits.h"

namespace trovix::indexer {
namespace {

// The root as the prefix of every task path: UTF-16, ending with one '/'.
WString RootPrefix(std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (!root.ends_with('/')) root += '/';
  return Utf8ToUtf16(root);
}

// The rules in force when the monitor is made: a change of them restarts
// the monitors, so that watches follow the new rules.
ChangeSource::Skip SkipOf(const IndexerState& state, const std::string& root) {
  std::string prefix = root;
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  if (!prefix.ends_with('/')) prefix += '/';
  return [rules = state.skip.Get(), prefix](const std::string& relative, bool directory) {
    return rules->Skips(prefix + relative, directory);
  };
}

}  // namespace

ChangeMonitor::ChangeMonitor(IndexerState* state, std::string root,
                             std::function<void()> request_rescan, Log log)
    : state_(state),
      root_(std::move(root)),
      root_prefix_(RootPrefix(root_)),
      request_rescan_(std::move(request_rescan)),
      log_(std::move(log)),
      source_(
          root_, [this](const std::string& line) { Write(line); }, SkipOf(*state, root_)) {}

ChangeMonitor::~ChangeMonitor() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

bool ChangeMonitor::Start() {
  if (thread_.joinable()) return false;
  try {
    thread_ = std::thread(&ChangeMonitor::Run, this);
  } catch (const std::system_error& error) {
    Write(root_ + ": could not start the change monitor: " + error.what());
    return false;
  }
  return true;
}

void ChangeMonitor::RequestStop() { source_.RequestStop(); }

bool ChangeMonitor::WaitForExit(DWORD timeout_ms) {
  if (!thread_.joinable()) return true;
  if (exited_.Wait(timeout_ms) != WAIT_OBJECT_0) return false;
  thread_.join();
  return true;
}

bool ChangeMonitor::WaitUntilWatching(DWORD timeout_ms) {
  return watching_.Wait(timeout_ms) == WAIT_OBJECT_0;
}

void ChangeMonitor::Run() {
  if (const int error = source_.Start(); error != 0) {
    Write(root_ + ": changes are not monitored: " + std::generic_category().message(error));
  } else {
    watching_.Set();
    while (state_->running.load() != 0) {
      const ChangeBatch batch = source_.WaitForChanges(kWaitSliceMs);
      if (batch.stopped) break;
      ReportLosses(batch);
      if (!batch.records.empty()) Queue(MakeTasks(batch.records));
      if (batch.root_gone) {
        Write(root_ + ": the root was removed, moved or unmounted; changes are not monitored");
        break;
      }
    }
  }
  watching_.Set();           // nobody waits for a watch that will not come
  state_->list_event.Set();  // the task queue thread looks at the set once more
  exited_.Set();
}

void ChangeMonitor::ReportLosses(const ChangeBatch& batch) {
  if (!batch.overflow && batch.unwatched == 0) return;
  Write(root_ +
        (batch.overflow ? ": changes were lost (notification queue overflow)"
                        : ": some directories are not watched") +
        "; a scan of the root is requested");
  if (request_rescan_) request_rescan_();
}

std::vector<IndexTask> ChangeMonitor::MakeTasks(const std::vector<ChangeRecord>& records) const {
  std::vector<IndexTask> tasks;
  const auto now = static_cast<DWORD>(std::time(nullptr));
  for (const ChangeRecord& record : records) {
    if (record.directory) {
      // A folder removed or moved away: its catalogued files go with it
      // (a folder moved out of the tree brings no records of its files).
      if (record.action != kRemoved && record.action != kRenamedOldName) continue;
      WString folder = root_prefix_ + record.path + u'/';
      if (!FitsCatalogue(Utf16ToUtf8(folder))) continue;
      tasks.push_back(IndexTask{std::move(folder), record.action, now});
      continue;
    }
    if (!state_->extensions.Contains(ExtensionOf(record.path))) continue;
    WString path = root_prefix_ + record.path;
    if (!FitsCatalogue(Utf16ToUtf8(path))) continue;
    tasks.push_back(IndexTask{std::move(path), record.action, now, record.writing});
  }
  return tasks;
}

// The whole batch goes in under one acquisition of list_mutex. The wait is
// bounded so that a stuck holder cannot stall the monitor (and its stop)
// indefinitely; the batch it costs is made up for by a scan.
void ChangeMonitor::Queue(std::vector<IndexTask> tasks) {
  if (tasks.empty()) return;
  if (state_->list_mutex.Wait(kListMutexWaitMs) != WAIT_OBJECT_0) {
    Write(root_ + ": " + std::to_string(tasks.size()) +
          " changes dropped (task list busy); a scan of the root is requested");
    if (request_rescan_) request_rescan_();
    return;
  }
  // set::insert keeps a pending task of the same path and kind and drops
  // the new one; a close the new one saw is kept with it.
  for (IndexTask& task : tasks) {
    const bool writing = task.writing;
    const auto [kept, added] = state_->pending.insert(std::move(task));
    if (!added && kept->writing && !writing) {
      auto node = state_->pending.extract(kept);
      node.value().writing = false;
      state_->pending.insert(std::move(node));
    }
  }
  state_->list_mutex.Release();
  state_->list_event.Set();
}

void ChangeMonitor::Write(const std::string& line) const {
  if (log_) {
    log_(line);
  } else {
    std::fprintf(stderr, "change monitor: %s\n", line.c_str());
  }
}

}  // namespace trovix::indexer
