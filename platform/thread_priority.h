// Thread priority levels.
//
// Linux lets an unprivileged thread lower its CPU priority (nice, SCHED_IDLE)
// but never raise it again, while its I/O priority moves freely between the
// idle class and the best-effort levels. So the three levels the suite uses
// are a thread's I/O priority, which can be steered both ways and read back:
//   THREAD_PRIORITY_IDLE          idle class
//   THREAD_PRIORITY_NORMAL        best-effort 4 (the kernel's default)
//   THREAD_PRIORITY_ABOVE_NORMAL  best-effort 0
// CPU priority is lowered separately and only once: the whole indexer process
// at start (LowerProcessCpuPriority), scanner threads further when they start
// (EnterIdleCpuScheduling).
//
// Threads are named by their kernel thread id (CurrentThreadId() on the thread
// itself; 0 means the calling thread). All functions may be called from any
// thread. A refused change is reported and may be ignored: the level read back
// is always the one in force.
#pragma once

#include <sys/types.h>

#include "platform/hresult.h"

inline constexpr int THREAD_PRIORITY_IDLE = -15;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;

// The calling thread's kernel id (gettid).
[[nodiscard]] pid_t CurrentThreadId();

// Sets the level of thread `thread_id` of this process. E_INVALIDARG for
// another level; otherwise S_OK or the errno of the refusal (ESRCH for a
// thread that has ended, EPERM when not allowed).
[[nodiscard]] HRESULT SetThreadPriorityLevel(pid_t thread_id, int level);
// The level in force for `thread_id`. I/O priorities set by other means are
// read as the nearest level: the idle class as idle, the real-time class and
// best-effort 0 to 3 as above-normal, everything else as normal. `*level` is
// unchanged on failure.
[[nodiscard]] HRESULT GetThreadPriorityLevel(pid_t thread_id, int* level);

// Lowers the CPU priority of every thread of this process to nice value
// `nice` (0..19, E_INVALIDARG otherwise); threads made later inherit it. A
// thread already at that nice value or lower is left alone, so this never
// raises a priority. Meant for once at start, before other threads run; S_OK
// or the errno of the first thread that refused.
[[nodiscard]] HRESULT LowerProcessCpuPriority(int nice);

// Puts the calling thread under SCHED_IDLE: it then runs only when a CPU has
// nothing else to do. For scanner threads; an unprivileged thread cannot
// leave it again.
[[nodiscard]] HRESULT EnterIdleCpuScheduling();
