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
  int error = 0;
  DirectoryStream rootStream = DirectoryStream::open(root, error);
  if (!rootStream.isOpen()) return accessRefused(error) ? 0 : 1;
  std::uint64_t files = 0;
  std::vector<Level> levels;
  levels.push_back(Level{std::move(rootStream), 0});

  DirectoryEntry entry;
  while (!levels.empty()) {
    if (stop.load(std::memory_order_relaxed)) return std::nullopt;
    Level& level = levels.back();
    if (!level.stream.next(entry, error)) {
      if (error != 0) ++files;
      levels.pop_back();
      continue;
    }
    EntryType type = entry.type;
    if (type == EntryType::Unknown) type = level.stream.typeOf(entry.name, false, error);
    if (type == EntryType::Directory) {
      if (level.depth + 1 > DirectoryWalker::kMaxDepth) {
        ++files;
        continue;
      }
      DirectoryStream child = level.stream.openChild(entry.name, error);
      if (child.isOpen()) {
        const int depth = level.depth + 1;
        levels.push_back(Level{std::move(child), depth});
        continue;
      }
      if (accessRefused(error) || error == ENOENT) continue;
      if (error != ENOTDIR && error != ELOOP) {
        ++files;
        continue;
      }
      type = level.stream.typeOf(entry.name, false, error);
    }
    if (type == EntryType::SymbolicLink) type = level.stream.typeOf(entry.name, true, error);
    if (type == EntryType::Regular || type == EntryType::Unknown) ++files;
  }
  return files;
}

}  // namespace norvid
