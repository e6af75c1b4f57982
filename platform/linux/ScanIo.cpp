#include "platform/ScanIo.hpp"

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace norvid::platform {
namespace {

constexpr long kExt4Magic = 0xEF53;
constexpr long kXfsMagic = 0x58465342;
constexpr long kBtrfsMagic = 0x9123683E;
constexpr long kTmpfsMagic = 0x01021994;

std::int64_t nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

bool onLocalFileSystem(int descriptor) {
  struct statfs info {};
  if (::fstatfs(descriptor, &info) != 0) return false;
  const long magic = static_cast<long>(info.f_type);
  return magic == kExt4Magic || magic == kXfsMagic || magic == kBtrfsMagic || magic == kTmpfsMagic;
}

}  // namespace

Result<FileHandle> openForScanning(const std::string& path, bool followLinks) {
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (!followLinks) flags |= O_NOFOLLOW;
  int descriptor;
  do {
    descriptor = ::open(path.c_str(), flags);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return Failure::ofErrno(errno, "open " + path);
  return FileHandle(descriptor);
}

Result<OpenFileFacts> openFileFacts(int descriptor) {
  struct stat info {};
  if (::fstat(descriptor, &info) != 0) return Failure::ofErrno(errno, "fstat");
  OpenFileFacts facts;
  facts.regular = S_ISREG(info.st_mode);
  facts.size = info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  facts.device = static_cast<std::uint64_t>(info.st_dev);
  facts.inode = static_cast<std::uint64_t>(info.st_ino);
  facts.modifiedNs = nanoseconds(info.st_mtim);
  facts.changedNs = nanoseconds(info.st_ctim);
  facts.localFileSystem = onLocalFileSystem(descriptor);
  return facts;
}

bool rewindDescriptor(int descriptor) { return ::lseek(descriptor, 0, SEEK_SET) == 0; }

void releaseFreeMemory() { ::malloc_trim(0); }

void exitImmediately(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(code);
}

}  // namespace norvid::platform
