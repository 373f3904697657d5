// The single-panel rule and the ways other processes reach a running panel.
//
// One panel runs per user: it holds an flock on "<namespace>/Vistrel
// Mutex.lock" for its whole life, and "the panel runs" means exactly that some
// live process holds that lock. The kernel drops the lock when its holder
// dies, so a killed panel never blocks the next one. The panel's dialog opens
// a message port titled like the dialog ("Vistrel - ..."); other processes
// find it by that title prefix and hand it a query (WM_COPYDATA) or ask it to
// come to the front (WM_TROVIX_ACTIVATE).
//
// No Qt here: the band and command-line tools use these functions too.
#pragma once

#include <string>
#include <string_view>

#include "platform/message_port.h"
#include "platform/types.h"

namespace trovix::panel {

// Every panel dialog's title starts with this.
inline constexpr std::u16string_view kPanelTitlePrefix = u"Vistrel";

// The lock that marks the running panel. Held from a successful Acquire until
// destruction.
class PanelLock {
 public:
  PanelLock() = default;
  ~PanelLock();
  PanelLock(const PanelLock&) = delete;
  PanelLock& operator=(const PanelLock&) = delete;

  // True when this process now holds the lock; false when another live
  // process holds it (or the namespace is unusable, so no lock can be made).
  [[nodiscard]] bool Acquire();
  [[nodiscard]] bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Whether some live process holds the panel lock. Never takes the lock for
// longer than the probe itself, and never in a way that makes a starting
// panel believe another one runs (see PanelLock::Acquire).
[[nodiscard]] bool PanelIsRunning();

// The first live top-level port, other than `skip_id`, whose title begins
// with "Vistrel". Repeats the enumeration while nothing is found, as a panel
// may hold the lock but not have opened its port yet; gives up once 1001
// ports have been looked at over all passes (an empty pass counts as one).
[[nodiscard]] bool FindPanelWindow(std::string_view skip_id, PortInfo* found);

// Asks the panel behind `panel` to raise and activate itself.
HRESULT BringPanelToFront(const PortInfo& panel);

// Hands `text` to the panel, which shows it in the Text box and searches:
// WM_COPYDATA with dwData 0 and the UTF-16 text including its terminating
// null. `*answer` (may be null) gets the panel's answer, TRUE when taken.
HRESULT HandQueryToPanel(const PortInfo& panel, std::u16string_view text, INT_PTR* answer);

// The query text carried by a WM_COPYDATA payload: at most size/2 UTF-16
// code units, up to the first null. An odd last byte is ignored.
[[nodiscard]] std::u16string QueryFromCopyData(const std::vector<BYTE>& data);

// "VistrelEvent": a named auto-reset event of the per-user namespace, set
// each time the panel takes a query. Its state is the length of the file
// "<namespace>/VistrelEvent.event" (1 signalled, 0 not), changed under an
// flock on that file, so any process of the user may set or wait on it.
class PanelEvent {
 public:
  // Opens the event, creating it not signalled when it does not exist.
  PanelEvent();
  ~PanelEvent();
  PanelEvent(const PanelEvent&) = delete;
  PanelEvent& operator=(const PanelEvent&) = delete;

  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  void Set();
  // Takes the signal if it is set, polling until `timeout_ms` has passed;
  // true when taken (the event is then reset).
  [[nodiscard]] bool Wait(DWORD timeout_ms);

 private:
  [[nodiscard]] bool TryTake();
  int fd_ = -1;
};

// The saved dialog rectangle, in screen coordinates.
struct PanelRect {
  INT left = 0;
  INT top = 0;
  INT right = 0;
  INT bottom = 0;
};

// "Position" under Software\Quillon\Trovix\Vistrel: 16 bytes, REG_BINARY.
// Reading fails (false) when the value is missing, of another type or size.
[[nodiscard]] bool ReadSavedPosition(PanelRect* rect);
void WriteSavedPosition(const PanelRect& rect);

}  // namespace trovix::panel
