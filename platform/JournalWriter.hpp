#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace norvid::platform {

// One structured entry for the system journal: upper-case field names ("MESSAGE", "PRIORITY",
// "MESSAGE_ID", "NORVID_PATH", ...) with their values, in the order given.
using JournalFields = std::vector<std::pair<std::string, std::string>>;

// Writes structured entries to the system's journal. Implementations never throw and never
// block for long: an entry that cannot be written is dropped.
class JournalWriter {
 public:
  virtual ~JournalWriter() = default;
  virtual void write(const JournalFields& fields) = 0;
};

// The writer for this machine's journal (systemd-journald's native socket).
std::unique_ptr<JournalWriter> systemJournalWriter();

}  // namespace norvid::platform
