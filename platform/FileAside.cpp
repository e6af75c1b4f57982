#include "platform/FileAside.hpp"

#include <filesystem>

namespace norvid::platform {

bool moveFileAside(const std::string& path, std::int64_t seconds, std::string& movedTo) {
  namespace fs = std::filesystem;
  movedTo.clear();
  std::error_code error;
  if (!fs::exists(path, error)) return !error;
  const std::string base = path + ".corrupt-" + std::to_string(seconds);
  std::string target = base;
  for (int n = 1; fs::exists(target, error) || error; ++n) {
    if (error) return false;
    target = base + "-" + std::to_string(n);
  }
  fs::rename(path, target, error);
  if (error) return false;
  movedTo = target;
  return true;
}

}  // namespace norvid::platform
