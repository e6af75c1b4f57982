#include "onaccess/PathFilter.hpp"

#include <algorithm>

namespace norvid::onaccess {
namespace {

// Drops trailing separators (but keeps "/" itself), so "/home/" and "/home" compare alike.
std::vector<std::string> trimmed(std::vector<std::string> directories) {
  for (std::string& directory : directories) {
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  }
  return directories;
}

}  // namespace

PathFilter::PathFilter(std::vector<std::string> watched, std::vector<std::string> excluded)
    : watched_(trimmed(std::move(watched))), excluded_(trimmed(std::move(excluded))) {}

bool PathFilter::isWithin(const std::string& path, const std::string& directory) {
  if (directory.empty()) return false;
  if (directory == "/") return !path.empty() && path[0] == '/';
  if (path.size() < directory.size() || path.compare(0, directory.size(), directory) != 0) {
    return false;
  }
  return path.size() == directory.size() || path[directory.size()] == '/';
}

bool PathFilter::covers(const std::string& path) const {
  auto within = [&path](const std::string& directory) { return isWithin(path, directory); };
  return std::any_of(watched_.begin(), watched_.end(), within) &&
         std::none_of(excluded_.begin(), excluded_.end(), within);
}

}  // namespace norvid::onaccess
