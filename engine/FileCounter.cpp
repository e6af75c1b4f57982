#include "engine/FileCounter.hpp"

#include <cerrno>
#include <utility>
#include <vector>

#include "engine/DirectoryWalker.hpp"
#include "platform/DirectoryStream.hpp"

namespace norvid {
namespace {

using platform::DirectoryEntry;
using platform::DirectoryStream;
using platform::EntryType;

struct Level {
  DirectoryStream stream;
  int depth;
};

bool accessRefused(int error) { return error == EACCES || error == EPERM; }

}  // namespace

std::optional<std::uint64_t> FileCounter::count(const std::string& root,
                                                const std::atomic<bool>& stop) {
  platform::Result<DirectoryStream> rootStream = DirectoryStream::open(root);
  if (!rootStream) return accessRefused(rootStream.failure().code) ? 0 : 1;
  std::uint64_t files = 0;
  std::vector<Level> levels;
  levels.push_back(Level{std::move(*rootStream), 0});

  DirectoryEntry entry;
  while (!levels.empty()) {
    if (stop.load(std::memory_order_relaxed)) return std::nullopt;
    Level& level = levels.back();
    const platform::Result<bool> listed = level.stream.next(entry);
    if (!listed || !*listed) {
      if (!listed) ++files;
      levels.pop_back();
      continue;
    }
    // A failed status query leaves the type unknown.
    platform::Result<EntryType> type = entry.type;
    if (entry.type == EntryType::Unknown) type = level.stream.typeOf(entry.name, false);
    if (type == EntryType::Directory) {
      if (level.depth + 1 > DirectoryWalker::kMaxDepth) {
        ++files;
        continue;
      }
      platform::Result<DirectoryStream> child = level.stream.openChild(entry.name);
      if (child) {
        const int depth = level.depth + 1;
        levels.push_back(Level{std::move(*child), depth});
        continue;
      }
      const int error = child.failure().code;
      if (accessRefused(error) || error == ENOENT) continue;
      if (error != ENOTDIR && error != ELOOP) {
        ++files;
        continue;
      }
      type = level.stream.typeOf(entry.name, false);
    }
    if (type == EntryType::SymbolicLink) type = level.stream.typeOf(entry.name, true);
    if (type == EntryType::Regular || !type) ++files;
  }
  return files;
}

}  // namespace norvid
