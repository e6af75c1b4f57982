#include "onaccess/ChangedFileWalk.hpp"

#include <algorithm>
#include <utility>

#include "platform/DirectoryStream.hpp"

namespace norvid::onaccess {

ChangedFileWalk::Outcome ChangedFileWalk::walk(const PathFilter& filter, std::int64_t sinceNs,
                                               std::size_t limit, const std::atomic<bool>& stop,
                                               const Found& found) {
  using platform::EntryType;
  Outcome outcome;
  for (const std::string& root : filter.watched()) {
    platform::Result<platform::DirectoryStream> top = platform::DirectoryStream::open(root);
    if (!top) continue;
    // One open directory per level below the root, each with its path.
    std::vector<std::pair<std::string, platform::DirectoryStream>> levels;
    levels.emplace_back(root, std::move(*top));
    while (!levels.empty()) {
      if (stop.load() || outcome.visited >= limit) {
        outcome.cut = true;
        return outcome;
      }
      platform::DirectoryEntry entry;
      platform::Result<bool> more = levels.back().second.next(entry);
      if (!more || !*more) {
        levels.pop_back();
        continue;
      }
      ++outcome.visited;
      const std::string path =
          (levels.back().first == "/" ? "" : levels.back().first) + "/" + entry.name;
      if (!filter.covers(path)) continue;
      EntryType type = entry.type;
      if (type == EntryType::Unknown) {
        type = levels.back().second.typeOf(entry.name, false).value_or(EntryType::Other);
      }
      if (type == EntryType::Directory) {
        platform::Result<platform::DirectoryStream> child =
            levels.back().second.openChild(entry.name);
        if (child) levels.emplace_back(path, std::move(*child));
        continue;
      }
      if (type != EntryType::Regular) continue;
      platform::Result<platform::FileHandle> file =
          levels.back().second.openFile(entry.name, false);
      if (!file) continue;
      platform::Result<platform::FileStatus> status = file->status();
      if (!status || !status->regular) continue;
      if (std::max(status->modifiedNs, status->changedNs) < sinceNs) continue;
      ++outcome.changed;
      found(path, *status);
    }
  }
  return outcome;
}

}  // namespace norvid::onaccess
