#include "service/AVService.hpp"

#include <chrono>
#include <thread>

#include "platform/ServiceNotifier.hpp"

namespace avwindows {

using norvid::platform::Result;
using norvid::platform::ServiceManager;

AVService::AVService(std::string serviceName, std::string displayName,
                     std::string serviceDescription, ServiceManager& manager, std::ostream& out,
                     std::ostream& err)
    : out_(out),
      err_(err),
      serviceName_(std::move(serviceName)),
      displayName_(std::move(displayName)),
      serviceDescription_(std::move(serviceDescription)),
      manager_(manager) {}

AVService::~AVService() = default;

bool AVService::connectManager() {
  if (Result<> connected = manager_.connect(); !connected) {
    err_ << "[ERROR] No se pudo abrir SCM. Error: " << connected.failure().code << std::endl;
    return false;
  }
  return true;
}

bool AVService::openService() {
  Result<> opened = manager_.openService(serviceName_);
  if (opened) return true;
  if (opened.failure().code != ServiceManager::kNotInstalled) {
    err_ << "[ERROR] No se pudo abrir servicio. Error: " << opened.failure().code << std::endl;
  }
  return false;
}

bool AVService::openInstalledService() {
  if (!connectManager()) return false;
  if (!openService()) {
    err_ << "[ERROR] Servicio no encontrado" << std::endl;
    return false;
  }
  return true;
}

bool AVService::install(const std::string& executablePath) {
  if (executablePath.empty()) {
    err_ << "[ERROR] No se pudo obtener ruta del ejecutable" << std::endl;
    return false;
  }
  if (!connectManager()) return false;
  Result<> created = manager_.createService(ServiceManager::Definition{
      serviceName_, displayName_, serviceDescription_, executablePath, unitFiles(executablePath)});
  if (created) {
    out_ << "[OK] Servicio instalado exitosamente" << std::endl;
    return true;
  }
  if (created.failure().code == ServiceManager::kAlreadyInstalled) {
    out_ << "[INFO] El servicio ya está instalado" << std::endl;
  } else {
    err_ << "[ERROR] No se pudo crear servicio. Error: " << created.failure().code << std::endl;
  }
  return false;
}

bool AVService::isInstalled() { return connectManager() && openService(); }

bool AVService::isRunning() {
  if (!connectManager() || !openService()) return false;
  return manager_.queryState(serviceName_) == ServiceManager::State::Running;
}

bool AVService::startService() {
  if (!openInstalledService()) return false;
  if (manager_.queryState(serviceName_) == ServiceManager::State::Running) {
    out_ << "[INFO] El servicio ya está corriendo" << std::endl;
    return true;
  }
  if (Result<> started = manager_.startService(serviceName_); !started) {
    err_ << "[ERROR] No se pudo iniciar servicio. Error: " << started.failure().code << std::endl;
    return false;
  }
  out_ << "[OK] Servicio iniciado exitosamente" << std::endl;
  return true;
}

bool AVService::stopService() {
  if (!openInstalledService()) return false;
  Result<> stopped = manager_.stopService(serviceName_);
  if (stopped || stopped.failure().code == ServiceManager::kNotActive) {
    out_ << "[OK] Servicio detenido exitosamente" << std::endl;
    return true;
  }
  err_ << "[ERROR] No se pudo detener servicio. Error: " << stopped.failure().code << std::endl;
  return false;
}

bool AVService::uninstall() {
  if (!openInstalledService()) return false;
  if (Result<ServiceManager::State> state = manager_.queryState(serviceName_);
      state && *state != ServiceManager::State::Stopped) {
    out_ << "[*] Deteniendo servicio..." << std::endl;
    manager_.stopService(serviceName_);
    for (int attempt = 0; attempt < 10; ++attempt) {
      if (manager_.queryState(serviceName_) == ServiceManager::State::Stopped) break;
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }
  if (Result<> deleted = manager_.deleteService(serviceName_); !deleted) {
    err_ << "[ERROR] No se pudo eliminar servicio. Error: " << deleted.failure().code << std::endl;
    return false;
  }
  out_ << "[OK] Servicio desinstalado exitosamente" << std::endl;
  return true;
}

void AVService::run() {
  reportRunning();
  while (!stopRequested()) waitForStop(std::chrono::seconds(1));
}

void AVService::serviceMain() { run(); }

void AVService::reportRunning() { norvid::platform::notifyReady(); }

void AVService::requestStop() {
  norvid::platform::notifyStopping();
  {
    std::lock_guard<std::mutex> guard(stopMutex_);
    stopRequested_ = true;
  }
  stopSignal_.notify_all();
}

bool AVService::waitForStop(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  return stopSignal_.wait_for(lock, timeout, [this] { return stopRequested_.load(); });
}

}  // namespace avwindows
