#include "platform/ScanIo.hpp"

#include <fcntl.h>
#include <malloc.h>
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

bool isOnLocalFileSystem(int descriptor) {
  struct statfs info {};
  if (::fstatfs(descriptor, &info) != 0) return false;
  const long magic = static_cast<long>(info.f_type);
  return magic == kExt4Magic || magic == kXfsMagic || magic == kBtrfsMagic || magic == kTmpfsMagic;
}

bool rewindDescriptor(int descriptor) { return ::lseek(descriptor, 0, SEEK_SET) == 0; }

// Under AddressSanitizer the heap is the sanitizer's, not glibc's: malloc_trim would only set up
// glibc's unused arena from whichever worker calls it first, and two workers doing so at once
// leave its thread count wrong, which glibc aborts on when those threads end.
#if defined(__SANITIZE_ADDRESS__)
#define NORVID_HEAP_IS_THE_SANITIZERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NORVID_HEAP_IS_THE_SANITIZERS 1
#endif
#endif

void releaseFreeMemory() {
#ifndef NORVID_HEAP_IS_THE_SANITIZERS
  ::malloc_trim(0);
#endif
}

void exitImmediately(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(code);
}

}  // namespace norvid::platform
