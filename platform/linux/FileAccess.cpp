#include "platform/FileAccess.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/SystemError.hpp"

namespace norvid::platform {

bool createPrivateDirectory(const std::string& path, std::string* error) {
  std::error_code code;
  std::filesystem::path target = std::filesystem::path(path).lexically_normal();
  if (std::filesystem::is_directory(target, code)) return true;
  if (target.has_parent_path() && target.has_filename()) {
    std::filesystem::create_directories(target.parent_path(), code);
    if (code) {
      if (error != nullptr) *error = code.message();
      return false;
    }
  }
  if (::mkdir(target.c_str(), 0700) != 0 && errno != EEXIST) {
    if (error != nullptr) *error = errnoText(errno);
    return false;
  }
  if (!std::filesystem::is_directory(target, code)) {
    if (error != nullptr) *error = path + ": not a directory";
    return false;
  }
  return true;
}

}  // namespace norvid::platform
