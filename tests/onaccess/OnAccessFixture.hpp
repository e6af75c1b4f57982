#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TempDir.hpp"

namespace norvid::testing {

// A process started in the background with its output in files; killed and reaped when the
// owner goes away, so no test leaves one behind.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment, const std::string& outputPrefix);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  int pid() const { return pid_; }
  bool running();
  void signal(int number);
  // Waits at most `limit` for the exit; the exit status, or empty when it did not end in time.
  std::optional<int> waitForExit(std::chrono::seconds limit);
  std::string output() const;
  std::string errors() const;

 private:
  int pid_ = -1;
  std::optional<int> status_;
  std::string outputPath_;
  std::string errorPath_;
};

// How an attempt to run a program ended.
struct RunOutcome {
  // The errno of the failed start, 0 when the program ran.
  int startError = 0;
  int exitCode = -1;
};

// A root-only fixture for the watcher: a small tmpfs mounted at `watched()` (so that only this
// file system is marked), a private copy of norvid-core with the starter rules beside it, and
// helpers to run the service and the watcher with their socket and data in a temporary
// directory. Skips when not root, when the binaries are missing or when no tmpfs can be mounted.
class OnAccessFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const std::string& watched() const { return watched_; }
  // Empty when the kernel reports new names (links, renames) on the watched tmpfs; else why not.
  const std::string& namesRefused() const { return namesRefused_; }
  // While the watcher is paused, makes more closes after writing than the kernel queues (16384),
  // then `meanwhile`, and lets the watcher go on. The files are gone before it reads again, so
  // their events cost no scans. False when the watcher could not be paused.
  bool overflowKernelQueue(const std::function<void()>& meanwhile = {});
  std::string socketPath() const { return root_->str() + "/norvid.sock"; }

  // Starts `norvid-core run` and waits until it answers; false when it did not come up.
  bool startService();
  void stopService();
  BackgroundProcess* service() { return service_.get(); }

  // Starts the watcher on `watched()` with `flags` (under a time limit of two minutes) and waits
  // for it to be active; false when it did not come up.
  bool startWatcher(const std::vector<std::string>& flags);
  BackgroundProcess* watcher() { return watcher_.get(); }
  // Waits (bounded) until the watcher has printed `line` on either stream. The watcher prints
  // after it acted, so a line may come a moment after what it reports.
  bool watcherSaid(const std::string& line);

  // Sends a request to the socket and returns the answer as text (empty when unanswered).
  std::string ask(const std::string& request) const;
  long long totalScans() const;

  // Waits at most `limit` until `condition` holds.
  static bool eventually(const std::function<bool()>& condition,
                         std::chrono::seconds limit = std::chrono::seconds(10));

  // Writes `content` to `path` with mode `mode` (created or truncated).
  static void writeFile(const std::string& path, const std::string& content, unsigned mode);
  // Runs `path` in a child process and waits at most `limit` for it.
  static RunOutcome runProgram(const std::string& path,
                               std::chrono::seconds limit = std::chrono::seconds(30));

  static const std::string& eicar();

  std::unique_ptr<TempDir> root_;
  std::string watched_;
  std::string namesRefused_;
  std::string binaryDir_;
  bool mounted_ = false;
  std::unique_ptr<BackgroundProcess> service_;
  std::unique_ptr<BackgroundProcess> watcher_;
};

}  // namespace norvid::testing
