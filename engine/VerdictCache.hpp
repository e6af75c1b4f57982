#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/ConsoleCapture.hpp"
#include "engine/ScanResult.hpp"
#include "platform/FileHandle.hpp"

namespace norvid {

// Verdicts on files judged before, with the console lines their scan wrote, so that a file whose
// content cannot have changed is answered without scanning it again. An entry holds only for the
// same path and the same version of the file (device, inode, size, modification and status-change
// times in nanoseconds) and for the same exclusion generation; any other generation empties the
// cache. Bounded in entries and in bytes, least recently used first out. Thread-safe.
class VerdictCache {
 public:
  struct Verdict {
    ScanResult result;
    ConsoleCapture::Record console;
  };

  static constexpr std::size_t kDefaultMaxEntries = 100'000;
  static constexpr std::size_t kDefaultMaxBytes = 32 * 1024 * 1024;

  explicit VerdictCache(std::size_t maxEntries = kDefaultMaxEntries,
                        std::size_t maxBytes = kDefaultMaxBytes);

  // The verdict kept for this version of the file at `path`, if any.
  std::optional<Verdict> find(const std::string& path, const platform::FileStatus& status,
                              std::uint64_t generation);

  // Keeps `verdict` for this version of the file at `path`.
  void store(const std::string& path, const platform::FileStatus& status, std::uint64_t generation,
             Verdict verdict);

  std::size_t size() const;

  // One kept verdict, as a store outside the cache sees it.
  struct Kept {
    std::string path;
    platform::FileStatus status;
    Verdict verdict;
  };
  struct Contents {
    // The exclusion generation every entry holds for.
    std::uint64_t generation = 0;
    // Most recently used first.
    std::vector<Kept> entries;
  };
  // A copy of everything kept.
  Contents contents() const;

  // Adds `entries` (most recently used first) behind the verdicts kept now, within the bounds,
  // for the exclusion generation `generation`; paths kept already keep their own verdict.
  void restore(std::vector<Kept> entries, std::uint64_t generation);

  // Grows with every verdict stored, restored, or dropped with its generation, so that a store
  // outside the cache can tell whether it has anything new to write.
  std::uint64_t changes() const;

  struct Entry {
    std::string path;
    platform::FileStatus status;
    Verdict verdict;
    std::size_t bytes = 0;
  };
  using Order = std::list<Entry>;

  // REQUIRES: mutex_ held.
  void insertLocked(Order::iterator at, std::string path, const platform::FileStatus& status,
                    Verdict verdict);
  void adoptGeneration(std::uint64_t generation);
  void eraseLocked(Order::iterator entry);

  const std::size_t maxEntries_;
  const std::size_t maxBytes_;
  mutable std::mutex mutex_;
  std::uint64_t generation_ = 0;
  std::size_t bytes_ = 0;
  std::uint64_t changes_ = 0;
  // Most recently used first.
  Order order_;
  std::unordered_map<std::string, Order::iterator> byPath_;
};

}  // namespace norvid
