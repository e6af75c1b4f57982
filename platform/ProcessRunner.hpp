#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace norvid::platform {

// How a child process ended. An outcome rather than a Result: an exit code, a signal and a
// timeout are all answers the caller branches on.
struct ProcessResult {
  enum class Outcome { Exited, Signalled, TimedOut, NotStarted, WaitFailed };

  Outcome outcome = Outcome::NotStarted;
  int exitCode = -1;  // the exit status when Exited, the signal number when Signalled
  int error = 0;      // errno when NotStarted or WaitFailed

  bool succeeded() const { return outcome == Outcome::Exited && exitCode == 0; }
};

// Runs the program `arguments[0]` (searched on PATH) with exactly these arguments, never through
// a shell, so no argument is ever split, expanded or interpreted. Waits at most `timeout`; a child
// still running then is killed and reaped, so no process or zombie outlives the call.
// REQUIRES: `arguments` is not empty.
ProcessResult runProcess(const std::vector<std::string>& arguments,
                         std::chrono::milliseconds timeout);

}  // namespace norvid::platform
