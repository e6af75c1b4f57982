#include "engine/DirectoryWalker.hpp"

#include <cerrno>
#include <utility>
#include <vector>

namespace norvid {
namespace {

using platform::DirectoryEntry;
using platform::DirectoryStream;
using platform::EntryType;

struct Level {
  DirectoryStream stream;
  std::string path;
  int depth;
};

bool accessRefused(int error) { return error == EACCES || error == EPERM; }

// The path of entry `name` of the directory at `directoryPath`, joined as std::filesystem joins
// them, without building a path object for every entry of the walk.
std::string childPath(const std::string& directoryPath, const std::string& name) {
  if (directoryPath.empty()) return name;
  std::string path;
  path.reserve(directoryPath.size() + 1 + name.size());
  path += directoryPath;
  if (path.back() != '/') path += '/';
  path += name;
  return path;
}

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

// Turns the walk's decisions into visits, opening each file it yields.
class VisitMaker : public DirectoryWalker::Listener {
 public:
  explicit VisitMaker(const DirectoryWalker::Visitor& visit) : visit_(visit) {}

  void file(const DirectoryStream& directory, const std::string& directoryPath,
            const std::string& name, bool followLink) override {
    visit_(fileVisit(childPath(directoryPath, name), directory.openFile(name, followLink)));
  }
  void unknownEntry(const std::string& directoryPath, const std::string& name,
                    const platform::Failure& failure) override {
    visit_(fileVisit(childPath(directoryPath, name), failure));
  }
  void tooDeep(const std::string& path) override {
    DirectoryWalker::Visit visit;
    visit.path = path;
    visit.verdict = ScanResult{path, ScanStatus::ERROR, "Directory nesting too deep", 0, ""};
    visit_(std::move(visit));
  }
  void blocked(const std::string& path, const char* step, int error) override {
    visit_(walkFailure(path, step, error));
  }

 private:
  const DirectoryWalker::Visitor& visit_;
};

}  // namespace

void DirectoryWalker::walk(const std::string& root, const Visitor& visit) const {
  VisitMaker maker(visit);
  walk(root, maker);
}

bool DirectoryWalker::walk(const std::string& root, Listener& listener) const {
  platform::Result<DirectoryStream> rootStream = DirectoryStream::open(root);
  if (!rootStream) {
    const int error = rootStream.failure().code;
    if (!accessRefused(error)) listener.blocked(root, "cannot open directory", error);
    return true;
  }
  std::vector<Level> levels;
  levels.push_back(Level{std::move(*rootStream), root, 0});

  DirectoryEntry entry;
  while (!levels.empty()) {
    if (listener.stopRequested()) return false;
    Level& level = levels.back();
    const platform::Result<bool> listed = level.stream.next(entry);
    if (!listed || !*listed) {
      if (!listed) listener.blocked(level.path, "cannot read directory", listed.failure().code);
      levels.pop_back();
      continue;
    }
    // A failed status query leaves the type unknown.
    platform::Result<EntryType> type = entry.type;
    if (entry.type == EntryType::Unknown) type = level.stream.typeOf(entry.name, false);

    if (type == EntryType::Directory) {
      if (!recursive_) continue;
      if (level.depth + 1 > kMaxDepth) {
        listener.tooDeep(childPath(level.path, entry.name));
        continue;
      }
      platform::Result<DirectoryStream> child = level.stream.openChild(entry.name);
      if (child) {
        const int depth = level.depth + 1;
        levels.push_back(Level{std::move(*child), childPath(level.path, entry.name), depth});
        continue;
      }
      const int error = child.failure().code;
      if (accessRefused(error) || error == ENOENT) continue;
      if (error != ENOTDIR && error != ELOOP) {
        listener.blocked(childPath(level.path, entry.name), "cannot open directory", error);
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
        listener.file(level.stream, level.path, entry.name, true);
      } else if (!target) {
        listener.unknownEntry(level.path, entry.name, target.failure());
      }
      continue;
    }
    if (type == EntryType::Regular) {
      listener.file(level.stream, level.path, entry.name, false);
    } else if (!type) {
      // Vanished between the listing and the status query: the scan of its path says so.
      listener.unknownEntry(level.path, entry.name, type.failure());
    }
  }
  return true;
}

}  // namespace norvid
