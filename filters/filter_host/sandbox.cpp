#include "filters/filter_host/sandbox.h"

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "filters/filter_host/file_access.h"
#include "platform/thread_priority.h"

namespace docfilter {
namespace {

// AddressSanitizer reserves terabytes of address space for its shadow
// memory at start, which no address-space limit admits (every later mmap
// then fails), and its leak check reads /proc at exit: a sanitizer build
// runs its helpers without that limit and lets them read /proc.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

void SetLimit(int resource, rlim_t soft, rlim_t hard) {
  const struct rlimit limit { soft, hard };
  (void)setrlimit(resource, &limit);
}

// A plain network namespace needs CAP_SYS_ADMIN; inside a new user
// namespace an ordinary user may make one. File access is unchanged: the
// kernel still checks the user's own ids.
void LeaveNetwork() {
  if (unshare(CLONE_NEWNET) == 0) return;
  (void)unshare(CLONE_NEWUSER | CLONE_NEWNET);
}

}  // namespace

void EnterSandbox(const HostLimits& limits) {
  (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() == 1) _exit(1);  // the reader is already gone
  (void)prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  LeaveNetwork();
  if (!kSanitized) SetLimit(RLIMIT_AS, limits.address_space, limits.address_space);
  SetLimit(RLIMIT_NOFILE, limits.open_files, limits.open_files);
  SetLimit(RLIMIT_CORE, 0, 0);
  (void)LowerProcessCpuPriority(19);
  (void)EnterIdleCpuScheduling();
  (void)SetThreadPriorityLevel(0, THREAD_PRIORITY_IDLE);
  // Libraries, character-set modules and parser data are read from /usr;
  // documents come as descriptors.
  if (kSanitized) {
    (void)RestrictFileAccess({"/usr", "/proc"});
  } else {
    (void)RestrictFileAccess({"/usr"});
  }
}

void LimitCpuForNextFile(const HostLimits& limits) {
  struct rusage usage {};
  struct rlimit current {};
  if (getrusage(RUSAGE_SELF, &usage) != 0 || getrlimit(RLIMIT_CPU, &current) != 0) return;
  // Whole seconds used so far, rounded up: the limit is in seconds.
  const rlim_t used = static_cast<rlim_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + 1;
  rlim_t soft = used + limits.cpu_seconds;
  if (current.rlim_max != RLIM_INFINITY && soft > current.rlim_max) soft = current.rlim_max;
  SetLimit(RLIMIT_CPU, soft, current.rlim_max);
}

}  // namespace docfilter
