#pragma once

#include <string>

#include "platform/ServiceManager.hpp"

struct sd_bus;

namespace norvid::platform {

// The service manager on systemd, over its D-Bus API. Installing writes the definition's unit
// files to /etc/systemd/system, reloads the manager and enables the service's unit.
class SystemdServiceManager final : public ServiceManager {
 public:
  explicit SystemdServiceManager(std::string unitDirectory = "/etc/systemd/system");
  ~SystemdServiceManager() override;
  SystemdServiceManager(const SystemdServiceManager&) = delete;
  SystemdServiceManager& operator=(const SystemdServiceManager&) = delete;

  Result<> connect() override;
  Result<> openService(const std::string& name) override;
  Result<> createService(const Definition& definition) override;
  Result<State> queryState(const std::string& name) override;
  Result<> startService(const std::string& name) override;
  Result<> stopService(const std::string& name) override;
  Result<> deleteService(const std::string& name) override;

 private:
  std::string unitFile(const std::string& name) const;
  Result<> callManager(const char* method, const char* signature, const std::string& name);
  Result<> reload();

  std::string unitDirectory_;
  sd_bus* bus_ = nullptr;
};

}  // namespace norvid::platform
