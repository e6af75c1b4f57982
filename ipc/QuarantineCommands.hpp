#pragma once

#include <string>

#include "platform/CallerIdentity.hpp"
#include "platform/Clock.hpp"

namespace norvid {

// The four quarantine commands. Each call opens the store in `quarantineDir` for that one
// operation and returns the serialised response text.
class QuarantineCommands {
 public:
  explicit QuarantineCommands(std::string quarantineDir,
                              const platform::Clock& clock = platform::SystemClock::instance());

  std::string handleListQuarantine() const;
  std::string handleDeleteQuarantine(const std::string& id) const;
  std::string handleRestoreQuarantine(const std::string& id) const;
  // A caller that is not privileged may only quarantine a file it could delete itself.
  std::string handleQuarantineFile(const std::string& path, const std::string& threatName,
                                   const CallerIdentity& caller) const;

 private:
  std::string quarantineDir_;
  const platform::Clock& clock_;
};

}  // namespace norvid
