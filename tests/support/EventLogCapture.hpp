#pragma once

#include <string>
#include <vector>

namespace norvid::testing {

// Points the process-wide EventLogger at a temporary directory (once per test binary) and reads
// back what was written. Tests take a mark before acting and read the lines written since.
class EventLogCapture {
 public:
  static EventLogCapture& instance();

  std::string directory() const { return directory_; }

  // Number of lines in today's log file so far.
  std::size_t mark() const;

  // Lines written since `mark`, time stamps included.
  std::vector<std::string> linesSince(std::size_t mark) const;

  // The same without the 30-character stamp: "[WRN] message".
  std::vector<std::string> messagesSince(std::size_t mark) const;

 private:
  EventLogCapture();
  std::vector<std::string> allLines() const;
  std::string directory_;
};

}  // namespace norvid::testing
