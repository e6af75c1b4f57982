#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "platform/FileAccessMonitor.hpp"

namespace norvid::onaccess {

// The service's last verdicts by file identity. Clean files are remembered so that a program
// started again and again (a build running the same tool) is scanned once; any write changes
// the identity, so a changed file is never taken for clean. Threats are remembered so that a
// start of a file found infected is denied even when the file is gone from its path by then
// (quarantined) and a fresh scan cannot find it; a change of owner or mode does not clear that.
// Entries expire after `lifetime`, which bounds how long a rule update takes to reach a file
// already seen; the cache is emptied when it is full. Safe from any thread.
class VerdictCache {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Known { Nothing, Clean, Threat };

  VerdictCache(std::size_t capacity, std::chrono::seconds lifetime);

  // The coarsest step of file times this cache relies on (some file systems keep whole seconds,
  // FAT two).
  static constexpr std::int64_t kTimeGranularityNs = 2'000'000'000;

  Known lookup(const platform::FileStatus& identity, Clock::time_point now) const;
  void remember(const platform::FileStatus& identity, Known verdict, Clock::time_point now);
  // Drops a clean verdict on the file (any version): it was open for writing, and a write through
  // a shared mapping need not change its times.
  void forgetClean(const platform::FileStatus& identity);

  // Whether a clean verdict from a scan of the file opened at the event (`atEvent`) may be
  // remembered: the file is still that version after the answer (same device, inode, size and
  // times, whatever its names did meanwhile); its times are older than the scan's start
  // (`scanStartNs`, wall clock) by more than kTimeGranularityNs, so a write during the scan
  // cannot hide behind an unchanged time; and nobody could write to it unseen
  // (`writableElsewhere`: open for writing, or mapped shared and writable, by anyone).
  static bool keepsClean(const platform::FileStatus& atEvent,
                         const platform::FileStatus& afterAnswer, std::int64_t scanStartNs,
                         bool writableElsewhere);

 private:
  struct Entry {
    platform::FileStatus identity;
    Known verdict;
    Clock::time_point seen;
  };

  const std::size_t capacity_;
  const std::chrono::seconds lifetime_;
  mutable std::mutex mutex_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, Entry> entries_;
};

}  // namespace norvid::onaccess
