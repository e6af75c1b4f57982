#include "platform/TempFile.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/Paths.hpp"

namespace norvid::platform {

std::string createTempFile(const std::string& prefix) {
  std::string pattern = temporaryDirectory() + "/" + prefix + "XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "mkstemp " + pattern);
  }
  ::close(fd);
  return pattern;
}

}  // namespace norvid::platform
