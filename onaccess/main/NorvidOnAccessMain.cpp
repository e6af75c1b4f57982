#include <iostream>
#include <mutex>
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

  // The signals are blocked before the watcher starts any thread, so that every thread inherits
  // that; a stop asked for before the watcher exists is passed on once it does.
  std::mutex stopMutex;
  norvid::onaccess::OnAccessWatcher* running = nullptr;
  bool stopEarly = false;
  norvid::platform::StopSignals signals([&] {
    std::lock_guard lock(stopMutex);
    if (running != nullptr) {
      running->requestStop();
    } else {
      stopEarly = true;
    }
  });
  norvid::onaccess::OnAccessWatcher watcher(*options, norvid::platform::socketPath(), std::cout,
                                            std::cerr);
  {
    std::lock_guard lock(stopMutex);
    running = &watcher;
    if (stopEarly) watcher.requestStop();
  }
  const int status = watcher.run();
  std::lock_guard lock(stopMutex);
  running = nullptr;
  return status;
}
