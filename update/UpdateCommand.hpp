#pragma once

#include <ostream>
#include <string>

#include "update/UpdateOptions.hpp"

namespace norvid::update {

// Runs one norvid-update command line: reads the feed configuration, takes the updater's lock
// (so two runs never interleave), does the action and asks the service to reload when content
// changed. The exit status: 0 every feed asked for is current, 1 at least one failed (its version
// kept), 2 bad configuration or usage.
class UpdateCommand {
 public:
  struct Paths {
    std::string feedsConfigDirectory;  // /etc/norvid/feeds.d
    std::string dataDirectory;         // /var/lib/zr5k
    std::string socketPath;
  };

  UpdateCommand(Paths paths, std::ostream& out, std::ostream& err);

  // The paths from the environment (NORVID_FEEDS_DIR, NORVID_DATA_DIR, NORVID_SOCKET).
  static Paths pathsFromEnvironment();

  int run(const UpdateOptions& options);

 private:
  int status(const UpdateOptions& options);
  void reloadService();

  Paths paths_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace norvid::update
