#include "engine/ScanProgress.hpp"

namespace norvid {

bool ScanProgress::cancelRequested() const {
  if (cancel_.load(std::memory_order_relaxed)) return true;
  if (stopFlag_ == nullptr || !stopFlag_->load(std::memory_order_relaxed)) return false;
  cancel_.store(true, std::memory_order_relaxed);
  return true;
}

void ScanProgress::fileStarted(const std::string& path) {
  std::lock_guard<std::mutex> lock(currentMutex_);
  currentFile_.assign(path);
}

void ScanProgress::fileJudged(bool infected) {
  filesScanned_.fetch_add(1, std::memory_order_relaxed);
  if (infected) threatsFound_.fetch_add(1, std::memory_order_relaxed);
}

void ScanProgress::setTotalFiles(std::uint64_t total) {
  totalFiles_.store(total, std::memory_order_relaxed);
  totalKnown_.store(true, std::memory_order_release);
}

ScanProgress::Snapshot ScanProgress::snapshot() const {
  Snapshot snapshot;
  snapshot.filesScanned = filesScanned_.load(std::memory_order_relaxed);
  snapshot.threatsFound = threatsFound_.load(std::memory_order_relaxed);
  if (totalKnown_.load(std::memory_order_acquire)) {
    snapshot.totalFiles = totalFiles_.load(std::memory_order_relaxed);
  }
  // Watchers read only the cancel request: the stop flag may be gone once the scan is over.
  snapshot.cancelRequested = cancel_.load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(currentMutex_);
  snapshot.currentFile = currentFile_;
  return snapshot;
}

}  // namespace norvid
