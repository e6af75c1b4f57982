#pragma once

#include <chrono>
#include <cstddef>
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

  Known lookup(const platform::FileStatus& identity, Clock::time_point now) const;
  void remember(const platform::FileStatus& identity, Known verdict, Clock::time_point now);

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
