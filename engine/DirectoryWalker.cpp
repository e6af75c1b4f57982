#include "engine/DirectoryWalker.hpp"

#include <cerrno>
#include <deque>
#include <utility>
#include <vector>

namespace norvid {
namespace {

using platform::DirectoryEntry;
using platform::DirectoryStream;
using platform::EntryType;

// One directory on the way from the root to the entry being walked.
struct Level {
  DirectoryStream stream;
  std::string path;
  // Its name in the directory above and what it was when first opened, to open it again.
  std::string name;
  platform::FileStatus identity;
  int depth = 0;
  // Set once the level was closed to spare its descriptor: its remaining entries were read ahead
  // into `ahead` and come only from there, even when it is open again.
  bool readAhead = false;
  std::deque<DirectoryEntry> ahead;
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

// One walk: the levels from the root down to the directory being listed, of which at most
// kMaxOpenDirectories are open at a time.
class Walk {
 public:
  Walk(bool recursive, DirectoryWalker::Listener& listener)
      : recursive_(recursive), listener_(listener) {}

  bool run(DirectoryStream root, const std::string& rootPath) {
    Level top;
    top.stream = std::move(root);
    top.path = rootPath;
    levels_.push_back(std::move(top));
    open_ = 1;

    DirectoryEntry entry;
    while (!levels_.empty()) {
      if (listener_.stopRequested()) return false;
      if (!nextEntry(entry)) continue;
      visit(entry);
    }
    return true;
  }

 private:
  // Takes the next entry of the deepest level into `entry`. False when there was none to take:
  // the level ended (and was left) or could not go on.
  bool nextEntry(DirectoryEntry& entry) {
    const std::size_t index = levels_.size() - 1;
    Level& level = levels_[index];
    if (level.readAhead) {
      if (level.ahead.empty()) {
        leave();
        return false;
      }
      if (!level.stream.isOpen() && !reopen(index)) return false;
      entry = std::move(level.ahead.front());
      level.ahead.pop_front();
      return true;
    }
    const platform::Result<bool> listed = level.stream.next(entry);
    if (listed && *listed) return true;
    if (!listed) listener_.blocked(level.path, "cannot read directory", listed.failure().code);
    leave();
    return false;
  }

  void visit(DirectoryEntry& entry) {
    Level& level = levels_.back();
    // A failed status query leaves the type unknown.
    platform::Result<EntryType> type = entry.type;
    if (entry.type == EntryType::Unknown) type = level.stream.typeOf(entry.name, false);

    if (type == EntryType::Directory) {
      if (!recursive_) return;
      if (level.depth + 1 > DirectoryWalker::kMaxDepth) {
        listener_.tooDeep(childPath(level.path, entry.name));
        return;
      }
      const int error = descend(entry.name);
      if (error == 0 || accessRefused(error) || error == ENOENT) return;
      if (error != ENOTDIR && error != ELOOP) {
        listener_.blocked(childPath(level.path, entry.name), "cannot open directory", error);
        return;
      }
      // Replaced by something else since it was listed: judged as what it is now.
      type = level.stream.typeOf(entry.name, false);
    }

    if (type == EntryType::SymbolicLink) {
      // A link counts as what it points to; only links to regular files are scanned, and a link
      // that leads nowhere is reported by the scan of its path.
      const platform::Result<EntryType> target = level.stream.typeOf(entry.name, true);
      if (target == EntryType::Regular) {
        listener_.file(level.stream, level.path, entry.name, true);
      } else if (!target) {
        listener_.unknownEntry(level.path, entry.name, target.failure());
      }
      return;
    }
    if (type == EntryType::Regular) {
      listener_.file(level.stream, level.path, entry.name, false);
    } else if (!type) {
      // Vanished between the listing and the status query: the scan of its path says so.
      listener_.unknownEntry(level.path, entry.name, type.failure());
    }
  }

  // Opens subdirectory `name` of the deepest level as the new deepest level; 0, or the errno of
  // the failed open.
  int descend(const std::string& name) {
    const Level& parent = levels_.back();
    platform::Result<DirectoryStream> child = parent.stream.openChild(name);
    if (!child) return child.failure().code;
    const platform::Result<platform::FileStatus> identity = child->status();
    if (!identity) return identity.failure().code;
    Level level;
    level.stream = std::move(*child);
    level.path = childPath(parent.path, name);
    level.name = name;
    level.identity = *identity;
    level.depth = parent.depth + 1;
    levels_.push_back(std::move(level));
    ++open_;
    spareDescriptors();
    return 0;
  }

  // Opens the level at `index` again, with the closed levels above it, from the deepest ancestor
  // still open. When one of them cannot be opened, or is no longer the directory it was, it is
  // reported unless it vanished or access to it is refused, and the walk leaves it and everything
  // below it. False then.
  bool reopen(std::size_t index) {
    std::size_t from = index;
    while (!levels_[from].stream.isOpen()) --from;  // the root stays open
    for (std::size_t at = from + 1; at <= index; ++at) {
      Level& level = levels_[at];
      platform::Result<DirectoryStream> again = levels_[at - 1].stream.openChild(level.name);
      int error = again ? 0 : again.failure().code;
      if (again) {
        const platform::Result<platform::FileStatus> identity = again->status();
        if (!identity) {
          error = identity.failure().code;
        } else if (!identity->sameFileAs(level.identity)) {
          error = ESTALE;
        }
      }
      if (error != 0) {
        if (!accessRefused(error) && error != ENOENT) {
          listener_.blocked(level.path, "cannot reopen directory", error);
        }
        while (levels_.size() > at) leave();
        return false;
      }
      level.stream = std::move(*again);
      ++open_;
      spareDescriptors();
    }
    return true;
  }

  // Closes levels, the shallowest first but never the root or the deepest, until at most
  // kMaxOpenDirectories are open.
  void spareDescriptors() {
    for (std::size_t index = 1;
         open_ > DirectoryWalker::kMaxOpenDirectories && index + 1 < levels_.size(); ++index) {
      Level& level = levels_[index];
      if (!level.stream.isOpen()) continue;
      if (!level.readAhead) readAhead(level);
      level.stream = DirectoryStream();
      --open_;
    }
  }

  // Reads the rest of the level's entries, so that it can be closed and taken up again later.
  void readAhead(Level& level) {
    level.readAhead = true;
    DirectoryEntry entry;
    for (;;) {
      const platform::Result<bool> listed = level.stream.next(entry);
      if (listed && !*listed) return;
      if (!listed) {
        listener_.blocked(level.path, "cannot read directory", listed.failure().code);
        return;
      }
      level.ahead.push_back(std::move(entry));
    }
  }

  // Leaves the deepest level.
  void leave() {
    if (levels_.back().stream.isOpen()) --open_;
    levels_.pop_back();
  }

  bool recursive_;
  DirectoryWalker::Listener& listener_;
  std::vector<Level> levels_;
  int open_ = 0;
};

static_assert(DirectoryWalker::kMaxOpenDirectories >= 3,
              "a reopen needs the root, the level above and the level below open at once");

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
  Walk walk(recursive_, listener);
  return walk.run(std::move(*rootStream), root);
}

}  // namespace norvid
