#pragma once

#include <functional>
#include <optional>
#include <string>

#include "engine/ScanResult.hpp"
#include "platform/FileHandle.hpp"

namespace norvid {

// Walks a directory tree in the order the directories list their entries, descending into each
// subdirectory where it is met (links to directories are not followed). Every directory is opened
// relative to its parent, so the walk holds one descriptor per level, and no deeper than
// kMaxDepth levels below the root. One entry's failure never ends the walk: a subdirectory that
// vanished or that the walker may not read is passed over, one that cannot be opened for another
// reason or lies too deep becomes an ERROR verdict of its own, and the walk goes on.
class DirectoryWalker {
 public:
  static constexpr int kMaxDepth = 256;

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

  explicit DirectoryWalker(bool recursive) : recursive_(recursive) {}

  // Walks the directory at `root` (links followed to reach it). A root that cannot be listed
  // because access is denied yields nothing; one that fails otherwise yields one ERROR verdict.
  void walk(const std::string& root, const Visitor& visit) const;

 private:
  bool recursive_;
};

}  // namespace norvid
