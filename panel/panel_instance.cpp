#include "panel/panel_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/reg_key.h"
#include "platform/sync.h"
#include "shared/registry_keys.h"

namespace trovix::panel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kLockFile[] = "/Vistrel Mutex.lock";
constexpr char kEventFile[] = "/VistrelEvent.event";
constexpr std::u16string_view kPositionValue = u"Position";
// A probe holds a shared lock for a few microseconds; a starting panel that
// retries this long never mistakes a probe for a running panel.
constexpr auto kAcquireGrace = std::chrono::milliseconds(50);
constexpr auto kRetryInterval = std::chrono::milliseconds(2);
constexpr int kMaxPortsExamined = 1001;
// A hand-over waits this long for the panel's answer; a panel busy longer is
// hung, and the caller should not hang with it.
constexpr DWORD kHandOverTimeoutMs = 5000;

int OpenInNamespace(const char* file, int flags) {
  const std::string dir = RuntimeNamespaceDir();
  if (dir.empty()) return -1;
  return open((dir + file).c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
}

bool TryLock(int fd, int operation) {
  while (flock(fd, operation | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Takes an exclusive lock on `fd`, waiting a few milliseconds at most: only
// the short critical sections of this file's own functions contend for it.
bool LockBriefly(int fd) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(500);
  while (!TryLock(fd, LOCK_EX)) {
    if (errno != EWOULDBLOCK || Clock::now() >= end) return false;
    std::this_thread::sleep_for(kRetryInterval);
  }
  return true;
}

void PutLe32(INT value, BYTE* out) {
  const auto bits = static_cast<DWORD>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(bits >> (8 * i));
}

INT GetLe32(const BYTE* in) {
  DWORD bits = 0;
  for (int i = 0; i < 4; ++i) bits |= DWORD{in[i]} << (8 * i);
  return static_cast<INT>(bits);
}

}  // namespace

// ---- PanelLock ----

PanelLock::~PanelLock() {
  // Closing the only descriptor drops the flock.
  if (fd_ >= 0) close(fd_);
}

bool PanelLock::Acquire() {
  if (fd_ >= 0) return true;
  const int fd = OpenInNamespace(kLockFile, O_RDWR | O_CREAT);
  if (fd < 0) return false;
  const Clock::time_point end = Clock::now() + kAcquireGrace;
  while (!TryLock(fd, LOCK_EX)) {
    if (errno != EWOULDBLOCK || Clock::now() >= end) {
      close(fd);
      return false;
    }
    std::this_thread::sleep_for(kRetryInterval);
  }
  fd_ = fd;
  return true;
}

bool PanelIsRunning() {
  const int fd = OpenInNamespace(kLockFile, O_RDONLY);
  if (fd < 0) return false;  // never made: no panel has run
  // A shared lock conflicts only with the panel's exclusive one.
  const bool free = TryLock(fd, LOCK_SH);
  const bool held = !free && errno == EWOULDBLOCK;
  close(fd);  // drops the probe's lock
  return held;
}

// ---- finding and addressing the panel ----

bool FindPanelWindow(std::string_view skip_id, PortInfo* found) {
  int examined = 0;
  while (examined < kMaxPortsExamined) {
    std::vector<PortInfo> ports;
    static_cast<void>(EnumerateTopLevelPorts({}, &ports));
    for (const PortInfo& port : ports) {
      if (++examined > kMaxPortsExamined) return false;
      if (port.id == skip_id || port.title.empty() || !port.title.starts_with(kPanelTitlePrefix)) {
        continue;
      }
      *found = port;
      return true;
    }
    if (ports.empty()) ++examined;
    // Leaves the starting panel time to open its port.
    std::this_thread::sleep_for(kRetryInterval);
  }
  return false;
}

HRESULT BringPanelToFront(const PortInfo& panel) {
  return PostPortMessage(panel, WM_TROVIX_ACTIVATE, 0, 0);
}

HRESULT HandQueryToPanel(const PortInfo& panel, std::u16string_view text, INT_PTR* answer) {
  std::u16string payload(text);
  payload.push_back(u'\0');
  const auto size = static_cast<DWORD>(payload.size() * sizeof(char16_t));
  return SendCopyData(panel, 0, payload.data(), size, kHandOverTimeoutMs, answer);
}

std::u16string QueryFromCopyData(const std::vector<BYTE>& data) {
  std::u16string text(data.size() / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    if (text[i] == u'\0') {
      text.resize(i);
      break;
    }
  }
  return text;
}

// ---- PanelEvent ----

PanelEvent::PanelEvent() : fd_(OpenInNamespace(kEventFile, O_RDWR | O_CREAT)) {}

PanelEvent::~PanelEvent() {
  if (fd_ >= 0) close(fd_);
}

void PanelEvent::Set() {
  if (fd_ < 0 || !LockBriefly(fd_)) return;
  static_cast<void>(ftruncate(fd_, 1));
  flock(fd_, LOCK_UN);
}

bool PanelEvent::TryTake() {
  if (!LockBriefly(fd_)) return false;
  struct stat st {};
  const bool set = fstat(fd_, &st) == 0 && st.st_size > 0;
  if (set) static_cast<void>(ftruncate(fd_, 0));
  flock(fd_, LOCK_UN);
  return set;
}

bool PanelEvent::Wait(DWORD timeout_ms) {
  if (fd_ < 0) return false;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!TryTake()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(kRetryInterval);
  }
  return true;
}

// ---- saved position ----

bool ReadSavedPosition(PanelRect* rect) {
  RegKey key;
  if (RegKey::Create(HKEY_CURRENT_USER, trovix::keys::kVistrel, &key) != ERROR_SUCCESS) {
    return false;
  }
  std::array<BYTE, 16> bytes{};
  DWORD type = 0;
  DWORD size = bytes.size();
  if (RegQueryValueExW(key.get(), kPositionValue.data(), nullptr, &type, bytes.data(), &size) !=
          ERROR_SUCCESS ||
      type != REG_BINARY || size != bytes.size()) {
    return false;
  }
  *rect =
      PanelRect{GetLe32(&bytes[0]), GetLe32(&bytes[4]), GetLe32(&bytes[8]), GetLe32(&bytes[12])};
  return true;
}

void WriteSavedPosition(const PanelRect& rect) {
  RegKey key;
  if (RegKey::Create(HKEY_CURRENT_USER, trovix::keys::kVistrel, &key) != ERROR_SUCCESS) return;
  std::array<BYTE, 16> bytes{};
  PutLe32(rect.left, &bytes[0]);
  PutLe32(rect.top, &bytes[4]);
  PutLe32(rect.right, &bytes[8]);
  PutLe32(rect.bottom, &bytes[12]);
  static_cast<void>(
      RegSetValueExW(key.get(), kPositionValue.data(), 0, REG_BINARY, bytes.data(), bytes.size()));
}

}  // namespace trovix::panel
