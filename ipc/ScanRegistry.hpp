#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/ScanProgress.hpp"
#include "platform/CallerIdentity.hpp"

namespace norvid {

// The directory scans running right now ("scan" of a directory, "generate_report"), each with an
// identifier, its progress record and a counting walk of the same tree beside it that supplies
// the total. Serves "list_scans" (a caller that is not root sees only its own scans) and
// "cancel_scan" (the caller's own scans; the administrator group and root any scan).
class ScanRegistry {
 private:
  struct Running;

 public:
  // `administratorGroup` names the group whose members may cancel any scan.
  explicit ScanRegistry(std::string administratorGroup)
      : administratorGroup_(std::move(administratorGroup)) {}

  // One scan, listed for as long as this object lives. Its destructor stops the counting walk,
  // waits for it and removes the scan from the list.
  class Tracked {
   public:
    Tracked(ScanRegistry& registry, std::shared_ptr<Running> running);
    ~Tracked();
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;

    ScanProgress& progress();
    // The scan's number in "list_scans".
    std::int64_t id() const;

   private:
    ScanRegistry& registry_;
    std::shared_ptr<Running> running_;
    std::thread counter_;
  };

  // Lists a scan of the directory `path` by `caller` for command `command` (with the scheduled
  // task it runs for, when `taskId` is not empty) and starts counting the tree with the caller's
  // file-system identity. May be called under any identity guard.
  std::unique_ptr<Tracked> track(const std::string& command, const std::string& path,
                                 const CallerIdentity& caller, const std::string& taskId = "");

  std::string handleListScans(const CallerIdentity& caller) const;
  std::string handleCancelScan(std::int32_t scanId, const CallerIdentity& caller);

 private:
  struct Running {
    std::int64_t id = 0;
    std::string command;
    std::string taskId;
    std::string path;
    CallerIdentity caller;
    std::time_t startedAt = 0;
    std::chrono::steady_clock::time_point startTick;
    ScanProgress progress;
    std::atomic<bool> stopCounting{false};
  };

  void remove(std::int64_t id);

  const std::string administratorGroup_;
  mutable std::mutex mutex_;
  std::map<std::int64_t, std::shared_ptr<Running>> running_;
  std::int64_t nextId_ = 1;
};

}  // namespace norvid
