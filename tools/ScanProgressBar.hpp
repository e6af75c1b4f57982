#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/SystemError.hpp"

namespace norvid {

// Progress of a long "scan" or "generate_report" on the terminal: while the request waits for
// its answer, a second connection asks "list_scans" every 250 ms and one line on standard error
// shows how far the scan got. Ctrl-C asks the service to cancel the scan ("cancel_scan") and the
// partial answer is then printed as usual.
class ScanProgressBar {
 public:
  // Sends `request` to the service and returns its answer as platform::sendRequest does. The bar
  // is drawn only for "scan" and "generate_report" with a path, when standard output and standard
  // error are a terminal and `raw` is not set; otherwise the request is simply sent.
  static platform::Result<std::string> send(const std::string& socketPath,
                                            const std::string& request, bool raw);

  // The bar line for one record of "list_scans", at most `columns` characters wide: bar and
  // percentage (once the total is known), files, threats, time left and the current file,
  // shortened from the left to what room is left.
  static std::string render(const nlohmann::json& record, int columns);
};

}  // namespace norvid
