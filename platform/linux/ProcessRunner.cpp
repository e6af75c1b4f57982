#include "platform/ProcessRunner.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace norvid::platform {
namespace {

constexpr std::chrono::milliseconds kPollInterval{5};

ProcessResult resultOf(int status) {
  ProcessResult result;
  if (WIFEXITED(status)) {
    result.outcome = ProcessResult::Outcome::Exited;
    result.exitCode = WEXITSTATUS(status);
  } else {
    result.outcome = ProcessResult::Outcome::Signalled;
    result.exitCode = WTERMSIG(status);
  }
  return result;
}

// Waits for the child without a time limit; only used once it has been killed.
void reap(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& arguments,
                         std::chrono::milliseconds timeout) {
  ProcessResult result;
  if (arguments.empty()) {
    result.error = EINVAL;
    return result;
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t child = 0;
  int spawnError = ::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ);
  if (spawnError != 0) {
    result.error = spawnError;
    return result;
  }

  // Polling keeps the wait free of signals and extra descriptors; the interval is far below the
  // run time of the commands this serves.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) return resultOf(status);
    if (done < 0 && errno != EINTR) {
      result.outcome = ProcessResult::Outcome::WaitFailed;
      result.error = errno;
      ::kill(child, SIGKILL);
      return result;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(child, SIGKILL);
      reap(child);
      result.outcome = ProcessResult::Outcome::TimedOut;
      return result;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace norvid::platform
