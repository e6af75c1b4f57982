#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "service/AVService.hpp"

namespace norvid {

// What the program entry needs besides the service object: the streams, how it was started and
// how to run the service (managed, or in the foreground for `run`).
struct CommandLineContext {
  std::ostream& out;
  std::ostream& err;
  bool startedByServiceManager = false;
  std::string executablePath;
  // Runs the service to its end; returns the process exit code.
  std::function<int(bool managed)> runService;
};

// Runs the program for its first argument (args[0] is the program as invoked) and returns the
// exit code: no argument runs the managed service; install/uninstall/start/stop/status (also
// with a leading "/" or "-") act on the service manager; run serves in the foreground.
int runCommandLine(const std::vector<std::string>& args, avwindows::AVService& service,
                   CommandLineContext& context);

}  // namespace norvid
