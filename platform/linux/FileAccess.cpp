#include "platform/FileAccess.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/AdministratorGroup.hpp"
#include "platform/FileHandle.hpp"
#include "platform/FsCredentialsGuard.hpp"
#include "platform/SystemError.hpp"

namespace norvid::platform {
namespace {

// Mode and group of one open file or directory.
Result<> restrictToAdministrators(int descriptor, mode_t mode, const std::string& path,
                                  const std::string& administratorGroup) {
  const gid_t group = static_cast<gid_t>(groupId(administratorGroup).value_or(0));
  if (::fchmod(descriptor, mode) != 0 || ::fchown(descriptor, static_cast<uid_t>(-1), group) != 0) {
    return Failure::ofErrno(errno, path);
  }
  return {};
}

}  // namespace

Result<> createPrivateDirectory(const std::string& path) {
  std::error_code code;
  std::filesystem::path target = std::filesystem::path(path).lexically_normal();
  if (std::filesystem::is_directory(target, code)) return {};
  if (target.has_parent_path() && target.has_filename()) {
    std::filesystem::create_directories(target.parent_path(), code);
    if (code) return Failure::ofErrno(code.value());
  }
  if (::mkdir(target.c_str(), 0700) != 0 && errno != EEXIST) return Failure::ofErrno(errno);
  if (!std::filesystem::is_directory(target, code)) {
    return Failure{ENOTDIR, path + ": not a directory"};
  }
  return {};
}

Result<> shareDirectoryWithAdministrators(const std::string& path,
                                          const std::string& administratorGroup) {
  std::error_code code;
  std::filesystem::create_directories(path, code);
  if (code) return Failure::ofErrno(code.value(), path);
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return Failure::ofErrno(errno, path);
  const FileHandle directory(descriptor);
  return restrictToAdministrators(directory.descriptor(), 0750, path, administratorGroup);
}

Result<> shareFileWithAdministrators(const std::string& path, const std::string& administratorGroup) {
  const int descriptor =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (descriptor < 0) return Failure::ofErrno(errno, path);
  const FileHandle file(descriptor);
  return restrictToAdministrators(file.descriptor(), 0640, path, administratorGroup);
}

bool mayReachDirectoryOf(const std::string& path, const CallerIdentity& caller) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  // "DIR/." resolves only when DIR and every directory above it may be searched.
  const std::string directory = path.substr(0, slash) + "/.";
  try {
    FsCredentialsGuard asCaller(caller);
    struct stat info {};
    return ::stat(directory.c_str(), &info) == 0;
  } catch (const std::exception&) {
    return false;
  }
}

std::optional<std::uint32_t> fileOwner(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint32_t>(info.st_uid);
}

}  // namespace norvid::platform
