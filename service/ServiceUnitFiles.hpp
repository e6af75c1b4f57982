#pragma once

#include <string>
#include <vector>

#include "platform/ServiceManager.hpp"

namespace norvid {

// The unit files that the package ships, built into the program so that `install` writes the
// very same texts: the service unit first, then its socket unit.
class ServiceUnitFiles {
 public:
  // The texts with the service unit's ExecStart= naming `executablePath`.
  static std::vector<platform::ServiceManager::UnitFile> forExecutable(
      const std::string& executablePath);

  // The service unit's capability bounding set, as written in it ("CAP_CHOWN CAP_SETUID ...").
  static std::string capabilityBoundingSet();
};

}  // namespace norvid
