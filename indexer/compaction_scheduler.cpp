#include "indexer/compaction_scheduler.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <thread>

#include "platform/com.h"
#include "shared/messages.h"

namespace trovix::indexer {
namespace {

constexpr std::string_view kNoStoreMessage = "Could not get TrovixDB interface pointer";

DWORD ReadOrWriteDefault(const KestineKey& key, DwordValue value, DWORD fallback) {
  if (const std::optional<DWORD> stored = key.Read(value)) return *stored;
  key.Write(value, fallback);
  return fallback;
}

// The locale's long date-and-time form ("%c"), as 8-bit text.
std::string CompletionText(const std::tm& local) {
  char text[256];
  const std::size_t length = std::strftime(text, sizeof text, "%c", &local);
  return std::string(text, length);
}

}  // namespace

bool InNightHours(const CompactionThresholds& thresholds, int local_hour) {
  const auto hour = static_cast<DWORD>(local_hour);
  if (thresholds.night_start <= thresholds.night_end) {
    return hour >= thresholds.night_start && hour < thresholds.night_end;
  }
  return hour >= thresholds.night_start || hour < thresholds.night_end;
}

bool CompactionDue(const CompactionFigures& figures, const CompactionThresholds& thresholds,
                   int local_hour) {
  const bool night = InNightHours(thresholds, local_hour);
  const std::uint64_t baseline = figures.baseline;
  const std::uint64_t size = figures.size;
  if (figures.space_free > thresholds.night && night) return true;
  if (figures.space_free > thresholds.day) return true;
  if (baseline + thresholds.day < size) return true;
  if (baseline + thresholds.night < size && night) return true;
  return figures.space_free > kMinReclaimable && figures.size > kLargeDatabase;
}

CompactionScheduler::CompactionScheduler(const std::atomic<unsigned>& running,
                                         NotifyPanelsFn notify, const Clock& clock, DWORD pause_ms)
    : running_(running), notify_(std::move(notify)), clock_(clock), pause_ms_(pause_ms) {}

bool CompactionScheduler::LoadThresholds() {
  const KestineKey key = KestineKey::Global();
  if (!key.Create()) return false;
  thresholds_.night =
      ReadOrWriteDefault(key, kestine::kNighttimeDelta, kestine::kDefaultNighttimeDelta);
  thresholds_.day = ReadOrWriteDefault(key, kestine::kDaytimeDelta, kestine::kDefaultDaytimeDelta);
  const auto hour = [&key](DwordValue value, DWORD fallback) {
    const std::optional<DWORD> stored = key.Read(value);
    return stored && *stored <= 24 ? *stored : fallback;
  };
  thresholds_.night_start = hour(kestine::kNightStartHour, kDefaultNightStartHour);
  thresholds_.night_end = hour(kestine::kNightEndHour, kDefaultNightEndHour);
  return true;
}

PassResult CompactionScheduler::RunPass(ITrovixDB* store) {
  if (!EnsureBaseline(store)) return PassResult::kSkipped;
  UINT space_free = 0;
  UINT size = 0;
  if (FAILED(store->GetCompactionSpaceFree(&space_free))) return PassResult::kSkipped;
  if (FAILED(store->GetDBFileSize(&size))) return PassResult::kSkipped;
  const int hour = clock_.ToLocal(clock_.Now()).tm_hour;
  if (!CompactionDue({space_free, size, baseline_}, thresholds_, hour)) return PassResult::kNotDue;
  Notify(WM_COMPACTION_BEGIN);
  if (!PauseUnlessStopped()) {
    Notify(WM_COMPACTION_END);  // the panels must not stay waiting for an end
    return PassResult::kStopped;
  }
  const HRESULT hr = store->CompactDatabase();
  Notify(WM_COMPACTION_END);
  if (hr != S_OK) return PassResult::kFailed;
  RecordSuccess(size, store);
  return PassResult::kCompacted;
}

bool CompactionScheduler::EnsureBaseline(ITrovixDB* store) {
  if (baseline_ != 0) return true;
  const KestineKey key = KestineKey::Global();
  if (const std::optional<DWORD> stored = key.Read(kestine::kLastSizeAtEnd)) {
    baseline_ = *stored;
    return true;
  }
  UINT size = 0;
  if (FAILED(store->GetDBFileSize(&size))) return false;
  baseline_ = size;
  key.Write(kestine::kLastSizeAtEnd, size);
  return true;
}

// Sleeps in short slices rather than on CompactionWakeEvent: the event's
// signal belongs to the thread's loop, and consuming it here would leave the
// loop waiting out its full three minutes at shutdown.
bool CompactionScheduler::PauseUnlessStopped() const {
  using std::chrono::milliseconds;
  const auto deadline = std::chrono::steady_clock::now() + milliseconds(pause_ms_);
  while (running_ == 1) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= left.zero()) return true;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(left, milliseconds(100)));
  }
  return false;
}

void CompactionScheduler::RecordSuccess(UINT size_before, ITrovixDB* store) {
  const KestineKey key = KestineKey::Global();
  key.Write(kestine::kLastSizeAtStart, size_before);
  UINT size_after = 0;
  if (SUCCEEDED(store->GetDBFileSize(&size_after))) {
    baseline_ = size_after;
    key.Write(kestine::kLastSizeAtEnd, size_after);
  }
  key.Write(kestine::kLastCompactionCompleted, CompletionText(clock_.ToLocal(clock_.Now())));
}

void CompactionScheduler::Notify(UINT message) const {
  if (notify_) notify_(message);
}

DWORD CompactionThread(const CompactionThreadParams& params) {
  CompactionScheduler scheduler(*params.running, params.notify, *params.clock, params.pause_ms);
  if (!scheduler.LoadThresholds()) return 0;
  const ComInit com;
  ComPtr<ITrovixDB> store;
  if (FAILED(CoCreateInstance(CLSID_TrovixDB, nullptr, CLSCTX_INPROC_SERVER, IID_ITrovixDB,
                              store.put_void()))) {
    if (params.show_error) params.show_error(kNoStoreMessage);
    return 0;
  }
  static_cast<void>(store->Init());  // already open in this process: E_UNEXPECTED
  static_cast<void>(params.wake->Wait(params.wait_ms));
  while (*params.running == 1) {
    const bool paused = params.paused != nullptr && params.paused->load();
    if (!paused && scheduler.LoadThresholds()) static_cast<void>(scheduler.RunPass(store.get()));
    if (*params.running != 1) break;
    static_cast<void>(params.wake->Wait(params.wait_ms));
  }
  return 0;
}

}  // namespace trovix::indexer
