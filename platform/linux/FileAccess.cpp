#include "platform/FileAccess.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/AdministratorGroup.hpp"
#include "platform/FileHandle.hpp"
#include "platform/SystemError.hpp"

namespace norvid::platform {
namespace {

bool fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

// Mode and group of one open file or directory.
bool restrictToAdministrators(int descriptor, mode_t mode, const std::string& path,
                              std::string* error) {
  const gid_t group = static_cast<gid_t>(groupId(sharedFileGroup()).value_or(0));
  if (::fchmod(descriptor, mode) != 0 || ::fchown(descriptor, static_cast<uid_t>(-1), group) != 0) {
    return fail(error, path + ": " + errnoText(errno));
  }
  return true;
}

}  // namespace

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

bool shareDirectoryWithAdministrators(const std::string& path, std::string* error) {
  std::error_code code;
  std::filesystem::create_directories(path, code);
  if (code) return fail(error, path + ": " + code.message());
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return fail(error, path + ": " + errnoText(errno));
  const FileHandle directory(descriptor);
  return restrictToAdministrators(directory.descriptor(), 0750, path, error);
}

bool shareFileWithAdministrators(const std::string& path, std::string* error) {
  const int descriptor =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (descriptor < 0) return fail(error, path + ": " + errnoText(errno));
  const FileHandle file(descriptor);
  return restrictToAdministrators(file.descriptor(), 0640, path, error);
}

}  // namespace norvid::platform
