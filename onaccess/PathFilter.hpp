#pragma once

#include <string>
#include <vector>

namespace norvid::onaccess {

// Decides which files the watcher looks at: those under a watched directory and under no
// excluded one. Directories are compared as given (the caller resolves links first), component by
// component, so /home/ann does not cover /home/anna.
class PathFilter {
 public:
  PathFilter(std::vector<std::string> watched, std::vector<std::string> excluded);

  bool covers(const std::string& path) const;

  const std::vector<std::string>& watched() const { return watched_; }
  const std::vector<std::string>& excluded() const { return excluded_; }

  // True when `path` is `directory` itself or lies below it.
  static bool isWithin(const std::string& path, const std::string& directory);

 private:
  std::vector<std::string> watched_;
  std::vector<std::string> excluded_;
};

}  // namespace norvid::onaccess
