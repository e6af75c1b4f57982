#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "onaccess/PathFilter.hpp"
#include "platform/FileHandle.hpp"

namespace norvid::onaccess {

// Finds the regular files under the directories a filter watches (and not under the ones it
// excludes) whose content or status changed at or after a moment: what the watcher may have
// missed while events were lost. Symbolic links are never followed; mount points below a watched
// directory are walked too, as they are watched.
class ChangedFileWalk {
 public:
  using Found = std::function<void(const std::string& path, const platform::FileStatus& status)>;

  // How a walk ended.
  struct Outcome {
    std::size_t visited = 0;
    std::size_t changed = 0;
    // The walk stopped at `limit` entries or because `stop` was raised.
    bool cut = false;
  };

  // Calls `found` for every file changed (modification or status-change time) at or after
  // `sinceNs` (wall clock). Looks at `limit` entries at most and ends early once `stop` is true.
  static Outcome walk(const PathFilter& filter, std::int64_t sinceNs, std::size_t limit,
                      const std::atomic<bool>& stop, const Found& found);
};

}  // namespace norvid::onaccess
