#pragma once

#include <cerrno>
#include <string>
#include <vector>

#include "platform/SystemError.hpp"

namespace norvid::platform {

// What the console verbs need of the system's service manager. Every operation answers a Result
// whose failure carries an errno; the codes below have the meanings the verbs rely on.
class ServiceManager {
 public:
  static constexpr int kNotInstalled = ENOENT;
  static constexpr int kAlreadyInstalled = EEXIST;
  static constexpr int kNotActive = ESRCH;

  enum class State { Stopped, Running, Other };

  // One file of the service's definition for the manager (a unit file under systemd).
  struct UnitFile {
    std::string name;  // "NorvidCoreService.service"
    std::string text;
  };

  struct Definition {
    std::string name;
    std::string displayName;
    std::string description;
    std::string executablePath;
    // The files that define the service, its own unit first. All are installed; enabling the
    // first enables the others its install section names.
    std::vector<UnitFile> unitFiles;
  };

  virtual ~ServiceManager() = default;

  // Opens the connection to the manager.
  virtual Result<> connect() = 0;
  // Works when the service is installed; fails with kNotInstalled when not, another code otherwise.
  virtual Result<> openService(const std::string& name) = 0;
  // Installs and enables the service; kAlreadyInstalled when it exists, EINVAL without unit files.
  virtual Result<> createService(const Definition& definition) = 0;
  virtual Result<State> queryState(const std::string& name) = 0;
  virtual Result<> startService(const std::string& name) = 0;
  // kNotActive when the service is not running.
  virtual Result<> stopService(const std::string& name) = 0;
  virtual Result<> deleteService(const std::string& name) = 0;
};

}  // namespace norvid::platform
