#include "service/NorvidCoreServiceImpl.hpp"

#include <chrono>

#include "platform/ScanIo.hpp"
#include "service/ServiceUnitFiles.hpp"

namespace norvid {

NorvidCoreServiceImpl::NorvidCoreServiceImpl(platform::ServiceManager& manager, std::ostream& out,
                                             std::ostream& err, ServiceConfiguration configuration)
    : AVService("NorvidCoreService", "Norvid Core Service",
                "Servicio principal de protección Norvid Shield", manager, out, err),
      configuration_(std::move(configuration)) {}

NorvidCoreServiceImpl::~NorvidCoreServiceImpl() { shutdown(); }

void NorvidCoreServiceImpl::run() {
  core_.reset();
  try {
    core_ = std::make_unique<IPCServer>(configuration_);
  } catch (const std::exception& error) {
    // Whatever else cannot be built ends the start with an error line, never an abort.
    err_ << "[ERROR] No se pudo construir el servicio: " << error.what() << std::endl;
    transportFailed_ = true;
    return;
  }
  transportFailed_ = !core_->start();
  if (transportFailed_) return;
  reportRunning();
  // The stop request also wakes the wait at once; the 5-second step bounds how late it is seen.
  while (!waitForStop(std::chrono::seconds(5))) {
  }
  shutdown();
}

std::vector<platform::ServiceManager::UnitFile> NorvidCoreServiceImpl::unitFiles(
    const std::string& executablePath) const {
  return ServiceUnitFiles::forExecutable(executablePath);
}

void NorvidCoreServiceImpl::shutdown() {
  if (!core_) return;
  out_ << "[ZR5K] Deteniendo IPC Server..." << std::endl;
  core_->stop();
  if (core_->requestsOutlivedStop()) {
    // A request still running after the drain uses the core: the process ends here instead of
    // destroying the core under it.
    platform::exitImmediately(0);
  }
  core_.reset();
}

}  // namespace norvid
