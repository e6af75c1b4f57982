#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/ProcessRunner.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::platform {
namespace {

using Outcome = ProcessResult::Outcome;
using namespace std::chrono_literals;

TEST(ProcessRunnerTest, RunsTheArgumentVectorAndReportsHowItEnded) {
  struct Case {
    std::vector<std::string> arguments;
    std::chrono::milliseconds timeout;
    Outcome outcome;
    int exitCode;
    int error;
  };
  const std::vector<Case> cases = {
      {{"true"}, 10s, Outcome::Exited, 0, 0},
      {{"false"}, 10s, Outcome::Exited, 1, 0},
      {{"sh", "-c", "exit 7"}, 10s, Outcome::Exited, 7, 0},
      // Shell syntax inside one argument reaches the program untouched.
      {{"test", "a;b $(id) `id` \"q\"", "=", "a;b $(id) `id` \"q\""}, 10s, Outcome::Exited, 0, 0},
      {{"test", "a b", "=", "a"}, 10s, Outcome::Exited, 1, 0},
      {{"sh", "-c", "kill -9 $$"}, 10s, Outcome::Signalled, 9, 0},
      {{"norvid-no-such-program"}, 10s, Outcome::NotStarted, -1, ENOENT},
      {{}, 10s, Outcome::NotStarted, -1, EINVAL},
      {{"sleep", "30"}, 50ms, Outcome::TimedOut, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0]);
    ProcessResult result = runProcess(c.arguments, c.timeout);
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.error, c.error);
    EXPECT_EQ(result.succeeded(), c.outcome == Outcome::Exited && c.exitCode == 0);
  }
}

TEST(ProcessRunnerTest, AChildThatOverrunsItsTimeIsKilledAndReaped) {
  testing::TempDir dir;
  const std::string pidFile = dir.str() + "/pid";
  ProcessResult result = runProcess({"sh", "-c", "echo $$ > \"$0\"; exec sleep 30", pidFile}, 1s);
  ASSERT_EQ(result.outcome, Outcome::TimedOut);
  const std::string written = testing::readFile(pidFile);
  ASSERT_FALSE(written.empty()) << "the shell did not start within the time limit";
  const pid_t child = std::stoi(written);
  // A zombie would still answer; only a reaped process is gone.
  EXPECT_EQ(::kill(child, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

}  // namespace
}  // namespace norvid::platform
