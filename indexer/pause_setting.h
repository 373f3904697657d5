// Whether indexing is paused, kept in key K ("Paused" and "Pause Ends") so
// that a pause outlives a restart of the indexer and can be set while none
// runs. `trovix pause`, `trovix resume` and the tray write it; the indexer
// reads it at start, when told of a change and every second (so that a
// pause with an end lifts itself).
//
// Threads: any thread; each call opens its own key.
#pragma once

#include <ctime>
#include <optional>
#include <string_view>

namespace trovix::indexer {

struct PauseState {
  bool paused = false;
  // When the pause lifts by itself; none: when resumed.
  std::optional<std::time_t> ends;
};

// The pause in force at `now`: a pause whose end has passed reads as none.
[[nodiscard]] PauseState ReadPause(std::time_t now);
// Records `state` (not paused: both values removed). False when the
// registry could not be written.
[[nodiscard]] bool WritePause(const PauseState& state);

// The "Pause On Battery" setting: whether running on battery pauses
// indexing too (default on).
[[nodiscard]] bool ReadPauseOnBattery();

// "90s", "30m", "2h", "1d", or a number of minutes; combinations such as
// "1h30m" add up. Nothing for an empty, zero, malformed or absurdly long
// (over a year) duration.
[[nodiscard]] std::optional<std::time_t> ParseDuration(std::string_view text);

}  // namespace trovix::indexer
