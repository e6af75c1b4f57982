#include "platform/FileAside.hpp"

#include <filesystem>

namespace norvid::platform {

Result<std::string> moveFileAside(const std::string& path, std::int64_t seconds) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::exists(path, error)) {
    if (error) return Failure::ofErrno(error.value(), "stat " + path);
    return std::string();
  }
  const std::string base = path + ".corrupt-" + std::to_string(seconds);
  std::string target = base;
  for (int n = 1; fs::exists(target, error) || error; ++n) {
    if (error) return Failure::ofErrno(error.value(), "stat " + target);
    target = base + "-" + std::to_string(n);
  }
  fs::rename(path, target, error);
  if (error) return Failure::ofErrno(error.value(), "rename " + path);
  return target;
}

}  // namespace norvid::platform
