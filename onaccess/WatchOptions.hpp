#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace norvid::onaccess {

// The watcher's command line.
struct WatchOptions {
  // Directories watched; the default list when no --watch is given.
  std::vector<std::string> watched;
  // Subtrees left alone.
  std::vector<std::string> excluded;
  // Hold each program start under a watched directory until the service's verdict.
  bool blockExec = false;
  // How long a held program start waits for the verdict before it is allowed.
  std::chrono::milliseconds verdictTimeout{3000};
  bool help = false;

  static const std::vector<std::string>& defaultDirectories();

  // Reads the arguments after the program name. Empty optional with `error` set for a bad one.
  static std::optional<WatchOptions> parse(const std::vector<std::string>& arguments,
                                           std::string& error);

  static std::string usage();
};

}  // namespace norvid::onaccess
