// The running indexer's control port: how `trovix` finds kestine, asks what
// it is doing and tells it that the settings changed.
//
// Kestine opens a top-level message port titled kControlPortTitle. Requests:
//  - a post of WM_TROVIX_SETTINGS_CHANGED (parameters 0): read the roots,
//    the skip rules and the pause again (the other settings are read at
//    their next use anyway);
//  - a WM_COPYDATA with dwData kStatusRequest whose bytes are the id of the
//    asker's own port: kestine answers the send with 1, then hands the
//    status (IndexerStatus::Encode) to that port as a WM_COPYDATA with
//    dwData kStatusAnswer. Two steps, because the answer to a send is one
//    number.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/message_port.h"
#include "platform/types.h"

namespace trovix::indexer {

inline constexpr std::u16string_view kControlPortTitle = u"Kestine Indexer Control";
// WM_USER + 320 and up: clear of the suite's other messages.
inline constexpr UINT WM_TROVIX_SETTINGS_CHANGED = 0x0400 + 320;
inline constexpr ULONG_PTR kStatusRequest = 0x5354;  // "ST"
inline constexpr ULONG_PTR kStatusAnswer = 0x5341;   // "SA"

struct IndexerStatus {
  int pid = 0;
  bool paused = false;                    // the user's pause (trovix pause, the tray)
  std::optional<std::time_t> pause_ends;  // paused only; none: until resumed
  bool on_battery = false;                // paused while the machine runs on battery
  bool compacting = false;
  std::size_t backlog = 0;    // changes waiting to be applied
  std::size_t settling = 0;   // changes held until their busy files are quiet
  std::uint64_t applied = 0;  // changes applied since the indexer started
  // The walks in progress: root and files done.
  std::vector<std::pair<std::string, std::uint64_t>> scans;

  // "paused" (either pause), "compacting", "scanning", "applying" or
  // "idle", the first that holds in that order.
  [[nodiscard]] std::string_view Activity() const;

  // One "key=value" line per field and per walk ("scan=<count> <root>"):
  // roots may hold any byte but a line feed, which a path cannot hold in
  // the roots list.
  [[nodiscard]] std::string Encode() const;
  // False (and `*out` unchanged) for text that is not an encoded status.
  [[nodiscard]] static bool Decode(std::string_view text, IndexerStatus* out);
};

}  // namespace trovix::indexer
