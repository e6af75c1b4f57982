#include "platform/PinnedFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/SystemError.hpp"

namespace norvid::platform {
namespace {

bool fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

bool sameEntry(const struct stat& info, const FileStatus& status) {
  return static_cast<std::uint64_t>(info.st_dev) == status.device &&
         static_cast<std::uint64_t>(info.st_ino) == status.inode;
}

}  // namespace

std::optional<PinnedFile> PinnedFile::open(const std::string& path, std::string* error) {
  std::error_code ignored;
  std::filesystem::path target = std::filesystem::absolute(path, ignored).lexically_normal();
  PinnedFile pinned;
  pinned.name_ = target.filename().string();
  if (pinned.name_.empty() || pinned.name_ == "." || pinned.name_ == "..") {
    fail(error, path + ": not a file name");
    return std::nullopt;
  }
  std::string directory = target.parent_path().string();
  pinned.directory_ = FileHandle(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!pinned.directory_.isOpen()) {
    fail(error, "open " + directory + ": " + errnoText(errno));
    return std::nullopt;
  }
  std::optional<FileStatus> directoryStatus = pinned.directory_.status(error);
  if (!directoryStatus) return std::nullopt;
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
    fail(error, "stat " + path + ": " + errnoText(errno));
    return std::nullopt;
  }
  if (!S_ISREG(entry.st_mode)) {
    fail(error, path + ": not a regular file");
    return std::nullopt;
  }
  pinned.file_ = FileHandle(::openat(pinned.directory_.descriptor(), pinned.name_.c_str(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!pinned.file_.isOpen()) {
    fail(error, "open " + path + ": " + errnoText(errno));
    return std::nullopt;
  }
  std::optional<FileStatus> fileStatus = pinned.file_.status(error);
  if (!fileStatus) return std::nullopt;
  if (!fileStatus->regular || !sameEntry(entry, *fileStatus)) {
    fail(error, path + ": changed while it was being opened");
    return std::nullopt;
  }
  pinned.fileStatus_ = *fileStatus;
  return pinned;
}

std::string PinnedFile::resolvedPath() const {
  if (!directoryPath_.empty() && directoryPath_.back() == '/') return directoryPath_ + name_;
  return directoryPath_ + "/" + name_;
}

bool PinnedFile::mayRemove(std::string* error) const {
  if (::faccessat(directory_.descriptor(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    return fail(error, errnoText(errno));
  }
  return true;
}

bool PinnedFile::removeIfUnchanged(std::string* error) {
  struct stat entry {};
  if (::fstatat(directory_.descriptor(), name_.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
    return fail(error, errnoText(errno));
  }
  if (!sameEntry(entry, fileStatus_)) {
    return fail(error, "the file was replaced while it was being quarantined");
  }
  if (::unlinkat(directory_.descriptor(), name_.c_str(), 0) != 0) {
    return fail(error, errnoText(errno));
  }
  return true;
}

}  // namespace norvid::platform
