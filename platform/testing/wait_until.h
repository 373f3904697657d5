// Test support: waiting on observable state instead of sleeping for a fixed
// time. A fixed sleep is either too short on a loaded machine (a flaky test)
// or wastes time everywhere else.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace trovix::testing {

// Polls `condition` every `poll` until it holds or `timeout` has passed.
// Returns the condition's last answer, so a test asserts on the result:
// ASSERT_TRUE(WaitUntil([&] { return Found(path); }));
// The generous default keeps a slow CI machine from failing a test that
// would pass; a passing wait ends as soon as the state is reached.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30),
                      std::chrono::milliseconds poll = std::chrono::milliseconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(poll);
  }
}

}  // namespace trovix::testing
