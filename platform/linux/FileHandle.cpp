#include "platform/FileHandle.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SystemError.hpp"

namespace norvid::platform {
namespace {

std::int64_t nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

FileStatus toStatus(const struct stat& info) {
  FileStatus status;
  status.regular = S_ISREG(info.st_mode);
  status.directory = S_ISDIR(info.st_mode);
  status.size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  status.device = static_cast<std::uint64_t>(info.st_dev);
  status.inode = static_cast<std::uint64_t>(info.st_ino);
  status.uid = info.st_uid;
  status.gid = info.st_gid;
  status.mode = info.st_mode & 07777;
  status.modifiedNs = nanoseconds(info.st_mtim);
  status.changedNs = nanoseconds(info.st_ctim);
  status.links = static_cast<std::uint64_t>(info.st_nlink);
  return status;
}

// The path of what a descriptor refers to, as the kernel resolved it.
std::string descriptorPath(int descriptor) {
  std::error_code ignored;
  return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(descriptor), ignored)
      .string();
}

}  // namespace

FileHandle::~FileHandle() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

FileHandle::FileHandle(FileHandle&& other) noexcept : descriptor_(other.descriptor_) {
  other.descriptor_ = -1;
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = other.descriptor_;
    other.descriptor_ = -1;
  }
  return *this;
}

Result<FileHandle> FileHandle::openForReading(const std::string& path) {
  FileHandle handle(
      ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!handle.isOpen()) return Failure::ofErrno(errno, "open " + path);
  Result<FileStatus> status = handle.status();
  if (!status) return status.failure();
  if (!status->regular) return Failure{EINVAL, "open " + path + ": not a regular file"};
  return handle;
}

Result<FileHandle> FileHandle::createExclusively(const std::string& path,
                                                 std::filesystem::perms mode,
                                                 DirectoryLinks links) {
  std::filesystem::path target = std::filesystem::absolute(path).lexically_normal();
  std::string name = target.filename().string();
  if (name.empty() || name == "." || name == "..") {
    return Failure{EINVAL, "create " + path + ": not a file name"};
  }
  std::string directory = target.parent_path().string();
  FileHandle directoryHandle(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directoryHandle.isOpen()) return Failure::ofErrno(errno, "open " + directory);
  // The kernel's own name for the opened directory differs from the lexical one exactly when a
  // symbolic link was followed on the way.
  if (links == DirectoryLinks::Refuse &&
      descriptorPath(directoryHandle.descriptor()) != directory) {
    return Failure{ELOOP, "create " + path + ": directory reached through a symbolic link"};
  }
  FileHandle handle(::openat(directoryHandle.descriptor(), name.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                             static_cast<mode_t>(mode)));
  if (!handle.isOpen()) return Failure::ofErrno(errno, "create " + path);
  // The umask may have taken bits away; the caller asked for exactly `mode`.
  if (::fchmod(handle.descriptor(), static_cast<mode_t>(mode)) != 0) {
    const Failure failure = Failure::ofErrno(errno, "chmod " + path);
    ::unlinkat(directoryHandle.descriptor(), name.c_str(), 0);
    return failure;
  }
  return handle;
}

Result<FileStatus> statusOf(int descriptor) {
  struct stat info {};
  if (::fstat(descriptor, &info) != 0) return Failure::ofErrno(errno, "fstat");
  return toStatus(info);
}

Result<FileHandle> FileHandle::duplicate(int descriptor) {
  const int copy = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return Failure::ofErrno(errno, "dup");
  return FileHandle(copy);
}

Result<FileStatus> FileHandle::status() const { return statusOf(descriptor_); }

Result<std::size_t> FileHandle::readAt(std::uint64_t offset, char* buffer, std::size_t size) const {
  while (true) {
    ssize_t got = ::pread(descriptor_, buffer, size, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == EINTR) continue;
    return Failure::ofErrno(errno, "read");
  }
}

std::size_t FileHandle::readHead(unsigned char* buffer, std::size_t size) const {
  std::size_t got = 0;
  while (got < size) {
    const Result<std::size_t> count =
        readAt(got, reinterpret_cast<char*>(buffer) + got, size - got);
    if (!count || *count == 0) break;
    got += *count;
  }
  return got;
}

Result<> FileHandle::writeAll(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(descriptor_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return Failure::ofErrno(errno, "write");
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return {};
}

Result<> FileHandle::syncToDisk() {
  if (::fsync(descriptor_) == 0) return {};
  return Failure::ofErrno(errno, "fsync");
}

Result<> FileHandle::changeOwner(std::uint32_t uid, std::uint32_t gid) {
  if (::fchown(descriptor_, uid, gid) == 0) return {};
  return Failure::ofErrno(errno, "chown");
}

Result<> FileHandle::close() {
  if (descriptor_ < 0) return {};
  int result = ::close(descriptor_);
  descriptor_ = -1;
  if (result == 0) return {};
  return Failure::ofErrno(errno, "close");
}

}  // namespace norvid::platform
