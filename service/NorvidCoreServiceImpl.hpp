#pragma once

#include <memory>

#include "ipc/IPCServer.hpp"
#include "ipc/ServiceConfiguration.hpp"
#include "service/AVService.hpp"

namespace norvid {

// The Norvid Shield core service: runs the service core and its socket until asked to stop.
class NorvidCoreServiceImpl final : public avwindows::AVService {
 public:
  NorvidCoreServiceImpl(platform::ServiceManager& manager, std::ostream& out, std::ostream& err,
                        ServiceConfiguration configuration);
  ~NorvidCoreServiceImpl() override;

  // Builds the core, starts the transport and polls for the stop request every 5 seconds.
  void run() override;
  // Stops the transport and destroys the core; does nothing the second time.
  void shutdown();

  // True when the last run() ended because the transport could not start.
  bool transportFailed() const { return transportFailed_; }

 protected:
  std::vector<platform::ServiceManager::UnitFile> unitFiles(
      const std::string& executablePath) const override;

 private:
  ServiceConfiguration configuration_;
  std::unique_ptr<IPCServer> core_;
  bool transportFailed_ = false;
};

}  // namespace norvid
