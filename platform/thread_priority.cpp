#include "platform/thread_priority.h"

#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

namespace {

// From linux/ioprio.h, whose macros vary between kernel header versions.
constexpr int kIoprioWhoProcess = 1;  // a single task: with a thread id, that thread
constexpr int kClassShift = 13;
constexpr int kClassRealTime = 1;
constexpr int kClassBestEffort = 2;
constexpr int kClassIdle = 3;
constexpr int kBestEffortNormal = 4;
constexpr int kBestEffortHigh = 0;

constexpr int IoPriority(int io_class, int data) { return (io_class << kClassShift) | data; }

int IoPriorityOfLevel(int level) {
  switch (level) {
    case THREAD_PRIORITY_IDLE:
      return IoPriority(kClassIdle, 0);
    case THREAD_PRIORITY_NORMAL:
      return IoPriority(kClassBestEffort, kBestEffortNormal);
    case THREAD_PRIORITY_ABOVE_NORMAL:
      return IoPriority(kClassBestEffort, kBestEffortHigh);
    default:
      return -1;
  }
}

int LevelOfIoPriority(int priority) {
  const int io_class = priority >> kClassShift;
  const int data = priority & ((1 << kClassShift) - 1);
  if (io_class == kClassIdle) return THREAD_PRIORITY_IDLE;
  if (io_class == kClassRealTime) return THREAD_PRIORITY_ABOVE_NORMAL;
  // Class "none" (never set) follows the CPU nice value: best-effort normal
  // or lower for every nice value an unprivileged process can reach.
  if (io_class == kClassBestEffort && data < kBestEffortNormal) return THREAD_PRIORITY_ABOVE_NORMAL;
  return THREAD_PRIORITY_NORMAL;
}

// The kernel ids of this process's threads, from /proc/self/task.
std::vector<pid_t> ThreadIds() {
  std::vector<pid_t> ids;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return {CurrentThreadId()};
  while (const dirent* entry = readdir(tasks)) {
    pid_t id = 0;
    const char* end = entry->d_name + std::strlen(entry->d_name);
    if (std::from_chars(entry->d_name, end, id).ptr == end && id > 0) ids.push_back(id);
  }
  closedir(tasks);
  return ids;
}

}  // namespace

pid_t CurrentThreadId() { return gettid(); }

HRESULT SetThreadPriorityLevel(pid_t thread_id, int level) {
  const int priority = IoPriorityOfLevel(level);
  if (priority < 0 || thread_id < 0) return E_INVALIDARG;
  if (syscall(SYS_ioprio_set, kIoprioWhoProcess, thread_id, priority) != 0) {
    return HresultFromErrno(errno);
  }
  return S_OK;
}

HRESULT GetThreadPriorityLevel(pid_t thread_id, int* level) {
  if (level == nullptr) return E_POINTER;
  if (thread_id < 0) return E_INVALIDARG;
  const long priority = syscall(SYS_ioprio_get, kIoprioWhoProcess, thread_id);
  if (priority < 0) return HresultFromErrno(errno);
  *level = LevelOfIoPriority(static_cast<int>(priority));
  return S_OK;
}

// On Linux the nice value belongs to each thread (setpriority with
// PRIO_PROCESS and a thread id changes that thread alone), so every thread is
// lowered by itself. A thread that ends meanwhile (ESRCH) needs nothing.
HRESULT LowerProcessCpuPriority(int nice) {
  if (nice < 0 || nice > 19) return E_INVALIDARG;
  HRESULT result = S_OK;
  for (const pid_t id : ThreadIds()) {
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(id));
    if (errno != 0 || current >= nice) continue;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(id), nice) != 0 && errno != ESRCH &&
        SUCCEEDED(result)) {
      result = HresultFromErrno(errno);
    }
  }
  return result;
}

HRESULT EnterIdleCpuScheduling() {
  const sched_param param{};
  // With pid 0 the Linux call applies to the calling thread only.
  if (sched_setscheduler(0, SCHED_IDLE, &param) != 0) return HresultFromErrno(errno);
  return S_OK;
}
