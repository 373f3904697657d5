#include "deskband/launch_panel.h"

#include <chrono>
#include <thread>

#include "panel/panel_instance.h"
#include "platform/process.h"
#include "platform/reg_key.h"
#include "platform/wstring.h"
#include "shared/registry_keys.h"

namespace brimwick {
namespace {

void RealSleep(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits for a just-started panel to take its lock. Giving up is harmless:
// the caller still looks for the panel's port.
void WaitForPanel(const SleepFn& sleep) {
  for (DWORD waited = 0; waited < kPanelStartTimeoutMs; waited += kPanelPollMs) {
    sleep(kPanelPollMs);
    if (trovix::panel::PanelIsRunning()) return;
  }
}

bool StartPanel() {
  const std::string program = PanelProgramPath();
  return !program.empty() && SUCCEEDED(StartProcess(program, {}));
}

}  // namespace

std::string PanelProgramPath() {
  RegKey key;
  if (RegKey::Open(HKEY_CURRENT_USER, trovix::keys::kTrovix, &key) != ERROR_SUCCESS) return {};
  WString bin_path;
  if (key.GetString(trovix::keys::kBinPath, &bin_path) != ERROR_SUCCESS) return {};
  const WString joined = bin_path + WString(kPanelProgram);
  if (joined.size() + 1 > kMaxPanelPath) return {};
  return Utf16ToUtf8(joined);
}

LaunchOutcome LaunchOrFeedPanel(std::u16string_view text, const SleepFn& sleep) {
  LaunchOutcome outcome;
  if (text.empty()) return outcome;
  if (!trovix::panel::PanelIsRunning()) {
    outcome.started = StartPanel();
    if (outcome.started) WaitForPanel(sleep ? sleep : SleepFn(RealSleep));
  }
  PortInfo panel;
  if (!trovix::panel::FindPanelWindow({}, &panel)) return outcome;
  INT_PTR answer = 0;
  if (FAILED(trovix::panel::HandQueryToPanel(panel, text, &answer))) return outcome;
  static_cast<void>(trovix::panel::BringPanelToFront(panel));
  outcome.handed_over = true;
  return outcome;
}

}  // namespace brimwick
