#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace norvid {

// What one running directory scan has done so far, written by the scan as it goes and read by
// whoever watches it, and the request to stop it. Every member may be used from any thread; the
// scan's own cost is two relaxed increments and one short lock per file.
class ScanProgress {
 public:
  struct Snapshot {
    std::uint64_t filesScanned = 0;
    std::uint64_t threatsFound = 0;
    std::optional<std::uint64_t> totalFiles;
    std::string currentFile;
    bool cancelRequested = false;
  };

  // Asks the scan to stop at the next file.
  void requestCancel() { cancel_.store(true, std::memory_order_relaxed); }
  // True once a cancel was requested, or `stopWhen`'s flag turned true (which then counts as a
  // cancel request from there on).
  bool cancelRequested() const;
  // Makes the scan stop at the next file once `*flag` turns true as well: the flag the transport
  // raises when the request's client hangs up. Only the scan itself reads the flag, so it need
  // outlive only the scan. REQUIRES: called before the scan starts.
  void stopWhen(const std::atomic<bool>* flag) { stopFlag_ = flag; }

  // The file a scan thread starts judging.
  void fileStarted(const std::string& path);
  // One verdict appended to the scan's results.
  void fileJudged(bool infected);
  // The number of files the tree holds, once counted.
  void setTotalFiles(std::uint64_t total);

  Snapshot snapshot() const;

 private:
  mutable std::atomic<bool> cancel_{false};
  const std::atomic<bool>* stopFlag_ = nullptr;
  std::atomic<std::uint64_t> filesScanned_{0};
  std::atomic<std::uint64_t> threatsFound_{0};
  std::atomic<bool> totalKnown_{false};
  std::atomic<std::uint64_t> totalFiles_{0};
  mutable std::mutex currentMutex_;
  std::string currentFile_;
};

}  // namespace norvid
