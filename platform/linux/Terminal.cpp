#include "platform/Terminal.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

namespace norvid::platform {

bool outputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1; }

int terminalColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

}  // namespace norvid::platform
