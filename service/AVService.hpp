#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "platform/ServiceManager.hpp"

namespace avwindows {

// The reusable service machinery: the service identity, the console verbs against the system's
// service manager, and the managed run (ready report, run loop, stop request, stopping report).
class AVService {
 public:
  AVService(std::string serviceName, std::string displayName, std::string serviceDescription,
            norvid::platform::ServiceManager& manager, std::ostream& out, std::ostream& err);
  virtual ~AVService();
  AVService(const AVService&) = delete;
  AVService& operator=(const AVService&) = delete;

  bool install(const std::string& executablePath);
  bool uninstall();
  bool startService();
  bool stopService();
  bool isInstalled();
  bool isRunning();

  // The service's work. It reports running (reportRunning) once it can serve; the base version
  // does so at once and waits for the stop request.
  virtual void run();

  // Runs the service under the service manager: calls run(), returns when it ends.
  void serviceMain();

  // What the stop and shutdown controls do: report stopping and set the stop request.
  void requestStop();
  bool stopRequested() const { return stopRequested_.load(); }

  const std::string& serviceName() const { return serviceName_; }

 protected:
  // The files that define the service for the manager, naming `executablePath` as its program.
  virtual std::vector<norvid::platform::ServiceManager::UnitFile> unitFiles(
      const std::string& executablePath) const = 0;
  // Tells the service manager that the service is up (READY=1 under systemd).
  void reportRunning();
  // Waits up to `timeout` for the stop request; true when it was made.
  bool waitForStop(std::chrono::milliseconds timeout);

  std::ostream& out_;
  std::ostream& err_;

 private:
  // Opens the service; false when it is not installed (quiet) or cannot be opened (reported).
  bool openService();
  bool connectManager();
  // Connects and opens the service; "Servicio no encontrado" when it is not installed.
  bool openInstalledService();

  std::string serviceName_;
  std::string displayName_;
  std::string serviceDescription_;
  norvid::platform::ServiceManager& manager_;
  std::atomic<bool> stopRequested_{false};
  std::mutex stopMutex_;
  std::condition_variable stopSignal_;
};

}  // namespace avwindows
