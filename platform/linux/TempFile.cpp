#include "platform/TempFile.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/Paths.hpp"

namespace norvid::platform {

Result<std::string> createTempFile(const std::string& prefix) {
  std::string pattern = temporaryDirectory() + "/" + prefix + "XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) return Failure::ofErrno(errno, "mkstemp " + pattern);
  ::close(fd);
  return pattern;
}

}  // namespace norvid::platform
