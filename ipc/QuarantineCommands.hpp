#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
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
  std::string handleDeleteQuarantine(const std::string& id,
                                     const CallerIdentity& caller = {}) const;
  std::string handleRestoreQuarantine(const std::string& id,
                                      const CallerIdentity& caller = {}) const;
  // A caller that is not privileged may only quarantine a file it could delete itself.
  std::string handleQuarantineFile(const std::string& path, const std::string& threatName,
                                   const CallerIdentity& caller) const;

 private:
  // The last list_quarantine answer and the records it was built from.
  struct ListCache {
    std::mutex mutex;
    std::uint64_t stamp = 0;
    std::string answer;
  };

  std::string quarantineDir_;
  const platform::Clock& clock_;
  std::shared_ptr<ListCache> listCache_ = std::make_shared<ListCache>();
};

}  // namespace norvid
