#include "indexer/pause_setting.h"

#include "indexer/kestine_settings.h"
#include "platform/filetime.h"

namespace trovix::indexer {
namespace {

// FILETIME counts 100 ns steps since 1601; time_t seconds since 1970.
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000;
constexpr std::int64_t kStepsPerSecond = 10000000;
constexpr std::time_t kLongestPause = 366 * 24 * 3600;

}  // namespace

PauseState ReadPause(std::time_t now) {
  const KestineKey key = KestineKey::Global();
  const std::optional<DWORD> paused = key.Read(kestine::kPaused);
  if (!paused || *paused == 0) return {};
  PauseState state{true, std::nullopt};
  if (const std::optional<FILETIME> ends = key.Read(kestine::kPauseEnds)) {
    state.ends =
        static_cast<std::time_t>((FileTimeToInt64(*ends) - kUnixEpochAsFileTime) / kStepsPerSecond);
    if (*state.ends <= now) return {};
  }
  return state;
}

// The end is written before the flag: a reader between the two writes sees
// either no pause or the whole new one.
bool WritePause(const PauseState& state) {
  const KestineKey key = KestineKey::Global();
  if (!state.paused) return key.Write(kestine::kPaused, 0) && key.Delete(kestine::kPauseEnds);
  const bool ended =
      state.ends
          ? key.Write(kestine::kPauseEnds,
                      Int64ToFileTime(static_cast<std::int64_t>(*state.ends) * kStepsPerSecond +
                                      kUnixEpochAsFileTime))
          : key.Delete(kestine::kPauseEnds);
  return ended && key.Write(kestine::kPaused, 1);
}

bool ReadPauseOnBattery() {
  return KestineKey::Global()
             .Read(kestine::kPauseOnBattery)
             .value_or(kestine::kDefaultPauseOnBattery) != 0;
}

std::optional<std::time_t> ParseDuration(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::time_t total = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::time_t number = 0;
    const std::size_t digits = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      number = number * 10 + (text[at++] - '0');
      if (number > kLongestPause) return std::nullopt;
    }
    if (at == digits) return std::nullopt;
    std::time_t unit = 60;  // a bare number is minutes
    if (at < text.size()) {
      switch (text[at++]) {
        case 's':
          unit = 1;
          break;
        case 'm':
          unit = 60;
          break;
        case 'h':
          unit = 3600;
          break;
        case 'd':
          unit = 86400;
          break;
        default:
          return std::nullopt;
      }
    } else if (digits != 0) {
      return std::nullopt;  // "1h30": the unit of the last part is missing
    }
    total += number * unit;
    if (total > kLongestPause) return std::nullopt;
  }
  if (total == 0) return std::nullopt;
  return total;
}

}  // namespace trovix::indexer
