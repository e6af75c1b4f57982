#include "platform/FileHandle.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SystemError.hpp"

namespace norvid::platform {
namespace {

void setError(std::string* error, const std::string& step, int code) {
  if (error != nullptr) *error = step + ": " + errnoText(code);
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

FileHandle FileHandle::openForReading(const std::string& path, std::string* error) {
  FileHandle handle(
      ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!handle.isOpen()) {
    setError(error, "open " + path, errno);
    return {};
  }
  std::optional<FileStatus> status = handle.status(error);
  if (!status) return {};
  if (!status->regular) {
    if (error != nullptr) *error = "open " + path + ": not a regular file";
    return {};
  }
  return handle;
}

FileHandle FileHandle::createExclusively(const std::string& path, std::filesystem::perms mode,
                                         DirectoryLinks links, std::string* error,
                                         bool* alreadyExists) {
  if (alreadyExists != nullptr) *alreadyExists = false;
  std::filesystem::path target = std::filesystem::absolute(path).lexically_normal();
  std::string name = target.filename().string();
  if (name.empty() || name == "." || name == "..") {
    if (error != nullptr) *error = "create " + path + ": not a file name";
    return {};
  }
  std::string directory = target.parent_path().string();
  FileHandle directoryHandle(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directoryHandle.isOpen()) {
    setError(error, "open " + directory, errno);
    return {};
  }
  // The kernel's own name for the opened directory differs from the lexical one exactly when a
  // symbolic link was followed on the way.
  if (links == DirectoryLinks::Refuse &&
      descriptorPath(directoryHandle.descriptor()) != directory) {
    if (error != nullptr) *error = "create " + path + ": directory reached through a symbolic link";
    return {};
  }
  FileHandle handle(::openat(directoryHandle.descriptor(), name.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                             static_cast<mode_t>(mode)));
  if (!handle.isOpen()) {
    int code = errno;
    if (code == EEXIST && alreadyExists != nullptr) *alreadyExists = true;
    setError(error, "create " + path, code);
    return {};
  }
  // The umask may have taken bits away; the caller asked for exactly `mode`.
  if (::fchmod(handle.descriptor(), static_cast<mode_t>(mode)) != 0) {
    setError(error, "chmod " + path, errno);
    ::unlinkat(directoryHandle.descriptor(), name.c_str(), 0);
    return {};
  }
  return handle;
}

std::optional<FileStatus> FileHandle::status(std::string* error) const {
  struct stat info {};
  if (::fstat(descriptor_, &info) != 0) {
    setError(error, "fstat", errno);
    return std::nullopt;
  }
  return toStatus(info);
}

long long FileHandle::readAt(std::uint64_t offset, char* buffer, std::size_t size,
                             std::string* error) const {
  while (true) {
    ssize_t got = ::pread(descriptor_, buffer, size, static_cast<off_t>(offset));
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    setError(error, "read", errno);
    return -1;
  }
}

std::size_t FileHandle::readHead(unsigned char* buffer, std::size_t size) const {
  std::size_t got = 0;
  while (got < size) {
    const long long count = readAt(got, reinterpret_cast<char*>(buffer) + got, size - got);
    if (count <= 0) break;
    got += static_cast<std::size_t>(count);
  }
  return got;
}

bool FileHandle::writeAll(const char* data, std::size_t size, std::string* error) {
  while (size > 0) {
    ssize_t written = ::write(descriptor_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      setError(error, "write", errno);
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool FileHandle::syncToDisk(std::string* error) {
  if (::fsync(descriptor_) == 0) return true;
  setError(error, "fsync", errno);
  return false;
}

bool FileHandle::changeOwner(std::uint32_t uid, std::uint32_t gid, std::string* error) {
  if (::fchown(descriptor_, uid, gid) == 0) return true;
  setError(error, "chown", errno);
  return false;
}

bool FileHandle::close(std::string* error) {
  if (descriptor_ < 0) return true;
  int result = ::close(descriptor_);
  descriptor_ = -1;
  if (result == 0) return true;
  setError(error, "close", errno);
  return false;
}

}  // namespace norvid::platform
