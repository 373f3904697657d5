// Handing the band's query to the search panel, starting the panel first when
// none runs. No Qt: everything here is files, processes and message ports.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace brimwick {

// The most UTF-16 units of the panel's full path, its terminator included.
inline constexpr std::size_t kMaxPanelPath = 260;
inline constexpr std::u16string_view kPanelProgram = u"vistrel";
// How long a started panel gets to take its lock, and how often it is checked.
inline constexpr DWORD kPanelStartTimeoutMs = 30000;
inline constexpr DWORD kPanelPollMs = 1000;

struct LaunchOutcome {
  bool started = false;      // a panel process was started
  bool handed_over = false;  // the text reached a panel, which was then raised
};

// Sleeps between the checks for a started panel; replaceable so that tests
// need not wait in real time.
using SleepFn = std::function<void(DWORD ms)>;

// The full path of the panel program: BinPath + "vistrel". Empty when BinPath
// is missing or the joined path and its terminator exceed kMaxPanelPath.
[[nodiscard]] std::string PanelProgramPath();

// Does nothing for an empty `text`. Otherwise makes sure a panel runs (when
// none does, starts it and waits, in kPanelPollMs steps up to
// kPanelStartTimeoutMs, for its lock), finds its port, hands it `text` and
// asks it to come to the front. Blocks the calling thread meanwhile: bounded
// by the start time-out, the search for the port and the hand-over time-out.
LaunchOutcome LaunchOrFeedPanel(std::u16string_view text, const SleepFn& sleep = {});

}  // namespace brimwick
