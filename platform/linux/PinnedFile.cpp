#include "platform/PinnedFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/SystemError.hpp"

namespace norvid::platform {
namespace {

bool sameEntry(const struct stat& info, const FileStatus& status) {
  return static_cast<std::uint64_t>(info.st_dev) == status.device &&
         static_cast<std::uint64_t>(info.st_ino) == status.inode;
}

}  // namespace

Result<PinnedFile> PinnedFile::open(const std::string& path) {
  std::error_code ignored;
  std::filesystem::path target = std::filesystem::absolute(path, ignored).lexically_normal();
  PinnedFile pinned;
  pinned.name_ = target.filename().string();
  if (pinned.name_.empty() || pinned.name_ == "." || pinned.name_ == "..") {
    return Failure{EINVAL, path + ": not a file name"};
  }
  std::string directory = target.parent_path().string();
  pinned.directory_ = FileHandle(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!pinned.directory_.isOpen()) return Failure::ofErrno(errno, "open " + directory);
  Result<FileStatus> directoryStatus = pinned.directory_.status();
  if (!directoryStatus) return directoryStatus.failure();
  pinned.directoryStatus_ = *directoryStatus;
  pinned.directoryPath_ =
      std::filesystem::read_symlink(
          "/proc/self/fd/" + std::to_string(pinned.directory_.descriptor()), ignored)
          .string();
  if (pinned.directoryPath_.empty()) pinned.directoryPath_ = directory;

  // Look before opening, so that a device or FIFO is never opened at all.
  struct stat entry {};
  if (::fstatat(pinned.directory_.descriptor(), pinned.name_.c_str(), &entry,
                AT_SYMLINK_NOFOLLOW) != 0) {
    return Failure::ofErrno(errno, "stat " + path);
  }
  if (!S_ISREG(entry.st_mode)) return Failure{EINVAL, path + ": not a regular file"};
  pinned.file_ = FileHandle(::openat(pinned.directory_.descriptor(), pinned.name_.c_str(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!pinned.file_.isOpen()) return Failure::ofErrno(errno, "open " + path);
  Result<FileStatus> fileStatus = pinned.file_.status();
  if (!fileStatus) return fileStatus.failure();
  if (!fileStatus->regular || !sameEntry(entry, *fileStatus)) {
    return Failure{0, path + ": changed while it was being opened"};
  }
  pinned.fileStatus_ = *fileStatus;
  return pinned;
}

std::string PinnedFile::resolvedPath() const {
  if (!directoryPath_.empty() && directoryPath_.back() == '/') return directoryPath_ + name_;
  return directoryPath_ + "/" + name_;
}

Result<> PinnedFile::mayRemove() const {
  if (::faccessat(directory_.descriptor(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    return Failure::ofErrno(errno);
  }
  return {};
}

Result<> PinnedFile::removeIfUnchanged() {
  struct stat entry {};
  if (::fstatat(directory_.descriptor(), name_.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
    return Failure::ofErrno(errno);
  }
  if (!sameEntry(entry, fileStatus_)) {
    return Failure{ESTALE, "the file was replaced while it was being quarantined"};
  }
  if (::unlinkat(directory_.descriptor(), name_.c_str(), 0) != 0) return Failure::ofErrno(errno);
  return {};
}

}  // namespace norvid::platform
