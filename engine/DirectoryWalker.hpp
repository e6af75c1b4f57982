#pragma once

#include <functional>
#include <optional>
#include <string>

#include "engine/ScanResult.hpp"
#include "platform/DirectoryStream.hpp"
#include "platform/FileHandle.hpp"
#include "platform/SystemError.hpp"

namespace norvid {

// Walks a directory tree in the order the directories list their entries, descending into each
// subdirectory where it is met (links to directories are not followed), no deeper than kMaxDepth
// levels below the root. Every directory is opened relative to its parent, and the walk holds at
// most kMaxOpenDirectories of them open whatever the depth: the root and the deepest levels. A
// level closed on the way down has its remaining entries read ahead; to go on with it, it is
// opened again by name from the deepest ancestor still open, without following links, and must
// still be the directory it was (device and inode). One entry's failure never ends the walk: a
// subdirectory that vanished or that the walker may not read is passed over, one that cannot be
// opened for another reason (too many open files, say), was replaced meanwhile or lies too deep
// becomes an ERROR verdict of its own, and the walk goes on.
class DirectoryWalker {
 public:
  static constexpr int kMaxDepth = 256;
  static constexpr int kMaxOpenDirectories = 16;

  // One thing the walk met, in walk order: a regular file (open, or with the errno of its failed
  // open), or an entry the walk itself already judged.
  struct Visit {
    std::string path;
    platform::FileHandle file;
    int openError = 0;
    std::optional<ScanResult> verdict;
    // A line for the error stream that goes with the verdict.
    std::string warning;
  };
  using Visitor = std::function<void(Visit&&)>;

  // What the walk decided about each entry it yields, told before anything is opened, so that a
  // caller that only counts the visits never opens a file nor builds a file's path.
  class Listener {
   public:
    virtual ~Listener() = default;
    // A regular file, or a link to one when `followLink` is set: entry `name` of `directory`, the
    // directory at `directoryPath`.
    virtual void file(const platform::DirectoryStream& directory, const std::string& directoryPath,
                      const std::string& name, bool followLink) = 0;
    // An entry whose type could not be learned: it vanished while listed, or it is a link that
    // leads nowhere.
    virtual void unknownEntry(const std::string& directoryPath, const std::string& name,
                              const platform::Failure& failure) = 0;
    // A subdirectory below the nesting limit.
    virtual void tooDeep(const std::string& path) = 0;
    // A directory the walk could not go through: `step` failed with errno `error`.
    virtual void blocked(const std::string& path, const char* step, int error) = 0;
    // Asked before each entry; true ends the walk there.
    virtual bool stopRequested() const { return false; }
  };

  explicit DirectoryWalker(bool recursive) : recursive_(recursive) {}

  // Walks the directory at `root` (links followed to reach it). A root that cannot be listed
  // because access is denied yields nothing; one that fails otherwise yields one ERROR verdict.
  void walk(const std::string& root, const Visitor& visit) const;

  // The same walk, told to `listener`. False when the listener stopped it early.
  bool walk(const std::string& root, Listener& listener) const;

 private:
  bool recursive_;
};

}  // namespace norvid
