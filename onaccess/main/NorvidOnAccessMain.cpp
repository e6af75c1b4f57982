#include <iostream>
#include <string>
#include <vector>

#include "onaccess/OnAccessWatcher.hpp"
#include "onaccess/WatchOptions.hpp"
#include "platform/Paths.hpp"
#include "platform/StopSignals.hpp"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string error;
  auto options = norvid::onaccess::WatchOptions::parse(arguments, error);
  if (!options) {
    std::cerr << "[ERROR] " << error << std::endl;
    std::cerr << norvid::onaccess::WatchOptions::usage() << std::endl;
    return 2;
  }
  if (options->help) {
    std::cout << norvid::onaccess::WatchOptions::usage() << std::endl;
    return 0;
  }
  norvid::onaccess::OnAccessWatcher watcher(*options, norvid::platform::socketPath(), std::cout,
                                            std::cerr);
  // Built before the watcher's threads start, so that they all inherit the blocked signals.
  norvid::platform::StopSignals signals([&watcher] { watcher.requestStop(); });
  return watcher.run();
}
