#include "engine/DirectoryWalker.hpp"

#include <cerrno>
#include <filesystem>
#include <utility>
#include <vector>

#include "platform/DirectoryStream.hpp"
#include "platform/SystemError.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using platform::DirectoryEntry;
using platform::DirectoryStream;
using platform::EntryType;

struct Level {
  DirectoryStream stream;
  std::string path;
  int depth;
};

// The ERROR verdict of a directory the walk could not go through, worded as the file-system
// library words its errors. Built without the library's exception, since this is often reached
// with no descriptor to spare.
DirectoryWalker::Visit walkFailure(const std::string& path, const char* step, int error) {
  const std::string failure = std::string("filesystem error: ") + step + ": " +
                              platform::errnoText(error) + " [" + path + "]";
  DirectoryWalker::Visit visit;
  visit.path = path;
  visit.verdict = ScanResult{path, ScanStatus::ERROR, "Filesystem error: " + failure, 0, ""};
  visit.warning = "Error al recorrer directorio: " + failure;
  return visit;
}

// The visit of a file: open, or with the errno of the step that failed on it.
DirectoryWalker::Visit fileVisit(std::string path, platform::Result<platform::FileHandle> file) {
  DirectoryWalker::Visit visit;
  visit.path = std::move(path);
  if (file) {
    visit.file = std::move(*file);
  } else {
    visit.openError = file.failure().code;
  }
  return visit;
}

}  // namespace

void DirectoryWalker::walk(const std::string& root, const Visitor& visit) const {
  platform::Result<DirectoryStream> rootStream = DirectoryStream::open(root);
  if (!rootStream) {
    const int error = rootStream.failure().code;
    if (error != EACCES && error != EPERM) visit(walkFailure(root, "cannot open directory", error));
    return;
  }
  std::vector<Level> levels;
  levels.push_back(Level{std::move(*rootStream), root, 0});

  DirectoryEntry entry;
  while (!levels.empty()) {
    Level& level = levels.back();
    const platform::Result<bool> listed = level.stream.next(entry);
    if (!listed || !*listed) {
      if (!listed) {
        visit(walkFailure(level.path, "cannot read directory", listed.failure().code));
      }
      levels.pop_back();
      continue;
    }
    std::string path = (fs::path(level.path) / entry.name).string();
    // A failed status query leaves the type unknown.
    platform::Result<EntryType> type = entry.type;
    if (entry.type == EntryType::Unknown) type = level.stream.typeOf(entry.name, false);

    if (type == EntryType::Directory) {
      if (!recursive_) continue;
      if (level.depth + 1 > kMaxDepth) {
        Visit tooDeep;
        tooDeep.path = path;
        tooDeep.verdict = ScanResult{path, ScanStatus::ERROR, "Directory nesting too deep", 0, ""};
        visit(std::move(tooDeep));
        continue;
      }
      platform::Result<DirectoryStream> child = level.stream.openChild(entry.name);
      if (child) {
        const int depth = level.depth + 1;
        levels.push_back(Level{std::move(*child), std::move(path), depth});
        continue;
      }
      const int error = child.failure().code;
      if (error == EACCES || error == EPERM || error == ENOENT) continue;
      if (error != ENOTDIR && error != ELOOP) {
        visit(walkFailure(path, "cannot open directory", error));
        continue;
      }
      // Replaced by something else since it was listed: judged as what it is now.
      type = level.stream.typeOf(entry.name, false);
    }

    if (type == EntryType::SymbolicLink) {
      // A link counts as what it points to; only links to regular files are scanned, and a link
      // that leads nowhere is reported by the scan of its path.
      const platform::Result<EntryType> target = level.stream.typeOf(entry.name, true);
      if (target == EntryType::Regular) {
        visit(fileVisit(std::move(path), level.stream.openFile(entry.name, true)));
      } else if (!target) {
        visit(fileVisit(std::move(path), target.failure()));
      }
      continue;
    }
    if (type == EntryType::Regular) {
      visit(fileVisit(std::move(path), level.stream.openFile(entry.name, false)));
    } else if (!type) {
      // Vanished between the listing and the status query: the scan of its path says so.
      visit(fileVisit(std::move(path), type.failure()));
    }
  }
}

}  // namespace norvid
