#include "platform/FileLock.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace norvid::platform {

Result<FileLock> FileLock::acquire(const std::string& path, Wait wait) {
  FileHandle file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!file.isOpen()) return Failure::ofErrno(errno, "open " + path);
  const int operation = LOCK_EX | (wait == Wait::No ? LOCK_NB : 0);
  while (::flock(file.descriptor(), operation) != 0) {
    if (errno != EINTR) return Failure::ofErrno(errno, "lock " + path);
  }
  return FileLock(std::move(file));
}

}  // namespace norvid::platform
