#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace norvid::platform {

// What came of one request to the service socket. An outcome rather than a Result: callers act
// differently on each (an absent service, a deadline, a cancel are not failures of the request).
struct DeadlineReply {
  enum class Outcome {
    // `text` holds the whole answer.
    Answered,
    // Nobody listens on the socket (no file, refused, or closed without an answer).
    Unreachable,
    // The deadline passed first.
    TimedOut,
    // The caller's cancel flag was raised first.
    Cancelled,
    // Another failure (`error` says which).
    Failed,
  };
  Outcome outcome = Outcome::Failed;
  std::string text;
  std::string error;
};

// Sends one request to the socket at `socketPath` and reads the answer until the server closes
// the connection, never waiting past `deadline`: connecting, sending and reading all count. Once
// connected, `onConnected` (when given) learns the server's process id. `cancel` (when given) is
// looked at every 100 ms and ends the wait when it becomes true. When `descriptor` is not
// negative, a copy of it travels with the request (SCM_RIGHTS).
DeadlineReply requestWithDeadline(const std::string& socketPath, const std::string& request,
                                  std::chrono::steady_clock::time_point deadline,
                                  const std::function<void(std::int32_t)>& onConnected = {},
                                  const std::atomic<bool>* cancel = nullptr, int descriptor = -1);

}  // namespace norvid::platform
