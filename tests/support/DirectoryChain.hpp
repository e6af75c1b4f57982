#pragma once

#include <string>

namespace norvid::testing {

// A chain of nested directories "d/d/d/..." below an existing directory, built and removed through
// descriptors, so that it may be deeper than any path the system resolves at once.
class DirectoryChain {
 public:
  // Creates `levels` directories below `root`. Throws std::system_error.
  DirectoryChain(std::string root, int levels);
  // Removes the whole chain with everything in it.
  ~DirectoryChain();
  DirectoryChain(const DirectoryChain&) = delete;
  DirectoryChain& operator=(const DirectoryChain&) = delete;

  // The path of the directory at `depth` (1 is root/d), as the walk names it.
  std::string pathAt(int depth) const;

  // Writes a file `name` holding `content` into the directory at `depth` and returns its path.
  // Throws std::system_error.
  std::string write(int depth, const std::string& name, const std::string& content) const;

 private:
  std::string root_;
  int levels_;
};

}  // namespace norvid::testing
