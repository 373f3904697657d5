#include "indexer/scan_schedule.h"

#include <cstdio>
#include <limits>
#include <map>
#include <mutex>

#include "indexer/kestine_settings.h"
#include "platform/filetime.h"
#include "platform/wstring.h"

namespace trovix::indexer {
namespace {

class SystemClockImpl final : public Clock {
 public:
  FILETIME Now() const override { return GetSystemTimeAsFileTime(); }
  // localtime_r is reentrant (glibc serialises its own time zone state), so
  // no process-wide lock around the conversion is needed.
  std::tm ToLocal(FILETIME utc) const override {
    const std::int64_t units = FileTimeToInt64(utc) - kFileTimeUnixEpoch;
    const std::int64_t seconds = units >= 0 ? units / 10000000 : (units - 9999999) / 10000000;
    const auto t = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&t, &local);
    return local;
  }
};

// Rescan requests counted per root record, so that a walk can tell whether
// one arrived while it ran. Keyed like the registry keys (A-Z folded), since
// roots that share a record share its requests. Guarded by g_requests_mutex,
// which is also held across the outcome writes of RequestRescan and
// ScanRecorder::Finish so that a request cannot fall between a walk's check
// and its write. Those writes are rare (one per walk or overflow), so
// holding the mutex across them costs nothing worth measuring.
std::mutex g_requests_mutex;
std::map<WString, std::uint64_t> g_requests;

WString RequestKey(const std::string& root) {
  WString key = RootSubkeyName(root);
  for (char16_t& c : key) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return key;
}

// Caller holds g_requests_mutex.
std::uint64_t RequestCount(const std::string& root) {
  const auto found = g_requests.find(RequestKey(root));
  return found == g_requests.end() ? 0 : found->second;
}

void WriteTimeText(const KestineKey& key, TextValue value, const Clock& clock, FILETIME when) {
  const std::string text = ScanTimeText(clock.ToLocal(when));
  key.Write(value, Utf8ToUtf16(text));
}

}  // namespace

const Clock& SystemClock() {
  static const SystemClockImpl clock;
  return clock;
}

bool IsDriveScanDue(const std::string& root, const Clock& clock) {
  const KestineKey drive = KestineKey::ForRoot(root);
  const std::optional<DWORD> outcome = drive.Read(kestine::kLastScanOutcome);
  if (!outcome || *outcome != kestine::kScanCompleted) return true;
  const std::optional<FILETIME> completion = drive.Read(kestine::kLastScanCompletion);
  if (!completion) return true;
  const std::optional<DWORD> interval = KestineKey::Global().Read(kestine::kScanInterval);
  if (!interval) return true;
  const auto now = static_cast<std::uint64_t>(FileTimeToInt64(clock.Now()));
  const auto completed = static_cast<std::uint64_t>(FileTimeToInt64(*completion));
  if (*interval == 0 || completed == 0) return true;
  // A damaged completion time near the top of the range would wrap the sum
  // around and make the root due at every check; saturate instead.
  const std::uint64_t span = std::uint64_t{*interval} * kFileTimeMinute;
  const std::uint64_t deadline = completed > std::numeric_limits<std::uint64_t>::max() - span
                                     ? std::numeric_limits<std::uint64_t>::max()
                                     : completed + span;
  return now >= deadline;
}

void RequestRescan(const std::string& root) {
  std::lock_guard<std::mutex> lock(g_requests_mutex);
  ++g_requests[RequestKey(root)];
  KestineKey::ForRoot(root).Write(kestine::kLastScanOutcome, kestine::kScanStopped);
}

std::string ScanTimeText(const std::tm& local) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const char* day = local.tm_wday >= 0 && local.tm_wday < 7 ? kDays[local.tm_wday] : "???";
  const char* month = local.tm_mon >= 0 && local.tm_mon < 12 ? kMonths[local.tm_mon] : "???";
  char text[96];  // room for any int in every field
  std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %d\n", day, month, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
  return text;
}

ScanRecorder::ScanRecorder(std::string root, const Clock& clock)
    : root_(std::move(root)), clock_(clock) {
  {
    std::lock_guard<std::mutex> lock(g_requests_mutex);
    requests_at_start_ = RequestCount(root_);
  }
  WriteTimeText(KestineKey::ForRoot(root_), kestine::kLastScanStartText, clock_, clock_.Now());
}

void ScanRecorder::Finish(bool walk_completed) {
  const KestineKey drive = KestineKey::ForRoot(root_);
  const FILETIME end = clock_.Now();
  drive.Delete(kestine::kLastScanFailureText);
  drive.Write(kestine::kLastScanCompletion, end);
  {
    std::lock_guard<std::mutex> lock(g_requests_mutex);
    const bool clean = walk_completed && RequestCount(root_) == requests_at_start_;
    drive.Write(kestine::kLastScanOutcome, clean ? kestine::kScanCompleted : kestine::kScanStopped);
  }
  WriteTimeText(drive, kestine::kLastScanCompletionText, clock_, end);
}

void ScanRecorder::FinishFailed(const std::string& why) {
  const KestineKey drive = KestineKey::ForRoot(root_);
  const FILETIME end = clock_.Now();
  // The reason before the outcome: whoever reads outcome 2 finds its reason.
  drive.Write(kestine::kLastScanFailureText, Utf8ToUtf16(why));
  drive.Write(kestine::kLastScanCompletion, end);
  drive.Write(kestine::kLastScanOutcome, kestine::kScanFailed);
  WriteTimeText(drive, kestine::kLastScanCompletionText, clock_, end);
}

}  // namespace trovix::indexer
