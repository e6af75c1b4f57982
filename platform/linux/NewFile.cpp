#include "platform/NewFile.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SystemError.hpp"

namespace norvid::platform {

Result<NewFileOutcome> createNewFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    int code = errno;
    if (code == EEXIST) return NewFileOutcome::AlreadyExists;
    return Failure::ofErrno(code, "create " + path);
  }
  ::close(fd);
  return NewFileOutcome::Created;
}

}  // namespace norvid::platform
