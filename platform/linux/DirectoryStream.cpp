#include "platform/DirectoryStream.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace norvid::platform {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;

EntryType typeOfMode(mode_t mode) {
  if (S_ISREG(mode)) return EntryType::Regular;
  if (S_ISDIR(mode)) return EntryType::Directory;
  if (S_ISLNK(mode)) return EntryType::SymbolicLink;
  return EntryType::Other;
}

EntryType typeOfDirent(unsigned char type) {
  switch (type) {
    case DT_REG:
      return EntryType::Regular;
    case DT_DIR:
      return EntryType::Directory;
    case DT_LNK:
      return EntryType::SymbolicLink;
    case DT_UNKNOWN:
      return EntryType::Unknown;
    default:
      return EntryType::Other;
  }
}

int openRetrying(int directory, const char* name, int flags) {
  int descriptor;
  do {
    descriptor = ::openat(directory, name, flags);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

}  // namespace

DirectoryStream::~DirectoryStream() { release(); }

DirectoryStream::DirectoryStream(DirectoryStream&& other) noexcept : stream_(other.stream_) {
  other.stream_ = nullptr;
}

DirectoryStream& DirectoryStream::operator=(DirectoryStream&& other) noexcept {
  if (this != &other) {
    release();
    stream_ = other.stream_;
    other.stream_ = nullptr;
  }
  return *this;
}

void DirectoryStream::release() {
  if (stream_ != nullptr) ::closedir(static_cast<DIR*>(stream_));
  stream_ = nullptr;
}

int DirectoryStream::descriptor() const { return ::dirfd(static_cast<DIR*>(stream_)); }

Result<DirectoryStream> DirectoryStream::ofDescriptor(int descriptor, const std::string& step) {
  if (descriptor < 0) {
    const int code = errno;
    return Failure::ofErrno(code, step);
  }
  DIR* stream = ::fdopendir(descriptor);
  if (stream == nullptr) {
    const int code = errno;
    ::close(descriptor);
    return Failure::ofErrno(code, step);
  }
  return DirectoryStream(stream);
}

Result<DirectoryStream> DirectoryStream::open(const std::string& path) {
  return ofDescriptor(openRetrying(AT_FDCWD, path.c_str(), kDirectoryFlags), "open " + path);
}

Result<DirectoryStream> DirectoryStream::openChild(const std::string& name) const {
  return ofDescriptor(openRetrying(descriptor(), name.c_str(), kDirectoryFlags | O_NOFOLLOW),
                      "open " + name);
}

Result<FileStatus> DirectoryStream::status() const { return statusOf(descriptor()); }

Result<bool> DirectoryStream::next(DirectoryEntry& entry) {
  for (;;) {
    errno = 0;
    const dirent* found = ::readdir(static_cast<DIR*>(stream_));
    if (found == nullptr) {
      const int code = errno;
      if (code != 0) return Failure::ofErrno(code, "readdir");
      return false;
    }
    if (std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0) continue;
    entry.name = found->d_name;
    entry.type = typeOfDirent(found->d_type);
    return true;
  }
}

Result<EntryType> DirectoryStream::typeOf(const std::string& name, bool follow) const {
  struct stat info {};
  if (::fstatat(descriptor(), name.c_str(), &info, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
    const int code = errno;
    return Failure::ofErrno(code, "stat " + name);
  }
  return typeOfMode(info.st_mode);
}

Result<FileHandle> DirectoryStream::openFile(const std::string& name, bool follow) const {
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (!follow) flags |= O_NOFOLLOW;
  const int file = openRetrying(descriptor(), name.c_str(), flags);
  if (file < 0) {
    const int code = errno;
    return Failure::ofErrno(code, "open " + name);
  }
  return FileHandle(file);
}

}  // namespace norvid::platform
