// Mutexes and events with the Windows wait semantics the suite is written in.
//
// Named objects live in the per-user namespace $XDG_RUNTIME_DIR/Quillon/, or
// /tmp/trovix-<uid>/ when XDG_RUNTIME_DIR is unset. That folder is created
// 0700 and must be a real folder (not a link) owned by the user that no one
// else may write to; when it is not, the namespace moves to
// $XDG_STATE_HOME/Quillon/run/ (same rules) and the refusal is reported.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/types.h"

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// In-process mutex with timed waits, re-entrant for its owner like a Windows
// mutex.
class Mutex {
 public:
  [[nodiscard]] DWORD Wait(DWORD timeout_ms = INFINITE);
  bool Release();
  // How many times the calling thread holds the mutex (0 when it does not).
  [[nodiscard]] unsigned HeldByMe();

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  std::thread::id owner_;  // guarded by mutex_
  unsigned depth_ = 0;     // guarded by mutex_
};

// A mutex shared by every process of the user, re-entrant for the thread that
// owns it. Implemented as a process-local owner record in front of an flock on
// the lock file "<namespace>/<name>.lock": the kernel drops the flock when the
// holding process dies, so a dead holder releases the mutex (the next waiter
// acquires it; Windows would say "abandoned", which callers treat as
// acquired).
//
// Ownership belongs to a thread through one object: two NamedMutex objects of
// the same name in one process exclude each other like two processes do, so a
// thread that owns one and waits on the other waits for itself.
//
// Thread safety: all members may be called from any thread.
class NamedMutex {
 public:
  // Opens (creating if needed) the named mutex. On failure `valid()` is false,
  // `error()` holds the errno value, and every wait answers WAIT_FAILED.
  explicit NamedMutex(const std::string& name);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  [[nodiscard]] int error() const { return error_; }

  // WAIT_OBJECT_0 when acquired (or re-entered by the owner), WAIT_TIMEOUT,
  // or WAIT_FAILED. A timeout other than INFINITE is honoured to within a few
  // milliseconds.
  [[nodiscard]] DWORD Wait(DWORD timeout_ms = INFINITE);
  // Releases one level of ownership; false when the calling thread does not
  // own the mutex.
  bool Release();

  // Whether a thread other than the owner waits for the mutex now: one of
  // this process in Wait, or one of another process blocked in the flock.
  // Meant for the owner, to keep a long hold short when someone waits; a
  // waiter that arrives just after the answer is seen at the next call.
  [[nodiscard]] bool OthersWaiting();

 private:
  int fd_ = -1;
  // "<name>.waiting": a waiter of any process holds a shared flock on it
  // while it is blocked in the flock of fd_, so that the owner can see it
  // with a non-blocking exclusive attempt. -1 when it cannot be opened
  // (waiters of other processes then go unseen).
  int waiting_fd_ = -1;
  // Threads of this process inside Wait.
  std::atomic<unsigned> waiting_{0};
  int error_ = 0;
  // Which thread of this process owns the object, and how many times. Its
  // owner holds the flock from its first level to its last.
  Mutex local_;
};

// In-process event. An auto-reset event releases one waiter per Set and
// resets itself; a manual-reset event stays signalled until Reset. As with
// Windows events, a Set releases the threads waiting at that moment even when
// Reset follows at once, and setting a signalled event has no effect.
class Event {
 public:
  Event(bool manual_reset, bool initially_set);
  void Set();
  void Reset();
  [[nodiscard]] DWORD Wait(DWORD timeout_ms = INFINITE);

 private:
  const bool manual_reset_;
  std::mutex mutex_;
  std::condition_variable signalled_;
  bool set_;                      // guarded by mutex_
  unsigned waiters_ = 0;          // auto-reset threads blocked in Wait; guarded by mutex_
  unsigned grants_ = 0;           // Sets handed to those waiters, <= waiters_; guarded by mutex_
  unsigned long generation_ = 0;  // count of manual-reset Sets; guarded by mutex_
};

// The per-user folder for lock files and message ports, created 0700 when
// missing: the preferred folder named above, or the fallback in the state
// folder when the preferred one is refused. Empty when neither can be made
// safe; NamedMutex::error() then holds the errno value of the failing step.
[[nodiscard]] std::string RuntimeNamespaceDir();

// Receives the text of each refusal of a runtime folder (once per process and
// folder; also written to stderr). The platform layer has no diagnostic log
// of its own: the suite's log writer installs itself here when it loads and
// removes itself when it unloads. May be called from any thread; the reporter
// must be safe to call from any thread.
using RuntimeFolderReporter = void (*)(const std::string& text);
void SetRuntimeFolderReporter(RuntimeFolderReporter reporter);
