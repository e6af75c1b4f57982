#pragma once

#include <string>

namespace norvid::update {

// Asks the running service to reload its rules over its socket.
class ServiceReloader {
 public:
  enum class Outcome { Reloaded, NotRunning, Refused };
  struct Answer {
    Outcome outcome = Outcome::NotRunning;
    std::string message;
  };

  explicit ServiceReloader(std::string socketPath) : socketPath_(std::move(socketPath)) {}

  Answer reload() const;

 private:
  std::string socketPath_;
};

}  // namespace norvid::update
