#include "platform/SystemError.hpp"

#include <cerrno>
#include <cstring>

namespace norvid::platform {

std::string errnoText(int code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in the buffer.
  return ::strerror_r(code, buffer, sizeof buffer);
}

int lastErrno() { return errno; }

}  // namespace norvid::platform
