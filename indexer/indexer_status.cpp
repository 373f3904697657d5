#include "indexer/indexer_status.h"

#include <charconv>

namespace trovix::indexer {
namespace {

template <typename Number>
bool ParseNumber(std::string_view text, Number* out) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string_view IndexerStatus::Activity() const {
  if (paused || on_battery) return "paused";
  if (compacting) return "compacting";
  if (!scans.empty()) return "scanning";
  if (backlog > 0) return "applying";
  return "idle";
}

std::string IndexerStatus::Encode() const {
  std::string text = "pid=" + std::to_string(pid) + "\n";
  text += "paused=" + std::to_string(paused ? 1 : 0) + "\n";
  if (pause_ends) text += "pause_ends=" + std::to_string(*pause_ends) + "\n";
  text += "on_battery=" + std::to_string(on_battery ? 1 : 0) + "\n";
  text += "compacting=" + std::to_string(compacting ? 1 : 0) + "\n";
  text += "backlog=" + std::to_string(backlog) + "\n";
  text += "settling=" + std::to_string(settling) + "\n";
  text += "applied=" + std::to_string(applied) + "\n";
  for (const auto& [root, files] : scans)
    text += "scan=" + std::to_string(files) + " " + root + "\n";
  return text;
}

bool IndexerStatus::Decode(std::string_view text, IndexerStatus* out) {
  IndexerStatus status;
  bool has_pid = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return false;
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    int flag = 0;
    bool ok = true;
    if (key == "pid") {
      ok = has_pid = ParseNumber(value, &status.pid);
    } else if (key == "paused") {
      ok = ParseNumber(value, &flag);
      status.paused = flag != 0;
    } else if (key == "pause_ends") {
      std::time_t ends = 0;
      ok = ParseNumber(value, &ends);
      status.pause_ends = ends;
    } else if (key == "on_battery") {
      ok = ParseNumber(value, &flag);
      status.on_battery = flag != 0;
    } else if (key == "settling") {
      ok = ParseNumber(value, &status.settling);
    } else if (key == "applied") {
      ok = ParseNumber(value, &status.applied);
    } else if (key == "compacting") {
      ok = ParseNumber(value, &flag);
      status.compacting = flag != 0;
    } else if (key == "backlog") {
      ok = ParseNumber(value, &status.backlog);
    } else if (key == "scan") {
      const std::size_t space = value.find(' ');
      std::uint64_t files = 0;
      ok = space != std::string_view::npos && ParseNumber(value.substr(0, space), &files);
      if (ok) status.scans.emplace_back(std::string(value.substr(space + 1)), files);
    }
    if (!ok) return false;
  }
  if (!has_pid) return false;
  *out = std::move(status);
  return true;
}

}  // namespace trovix::indexer
