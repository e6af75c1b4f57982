#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/EngineSlot.hpp"
#include "ipc/ExclusionCommands.hpp"
#include "exclusions/ExclusionsManager.hpp"
#include "ipc/CommandDispatcher.hpp"
#include "ipc/ScanCommands.hpp"
#include "ipc/ServicePaths.hpp"
#include "ipc/ServiceStatistics.hpp"
#include "ipc/StatisticsRecorder.hpp"
#include "ipc/QuarantineCommands.hpp"
#include "ipc/ReportCommands.hpp"
#include "ipc/ScheduleCommands.hpp"
#include "scheduler/Scheduler.hpp"
#include "ipc/UsbCommands.hpp"
#include "usb/UsbControl.hpp"
#include "platform/CallerIdentity.hpp"
#include "platform/SocketTransport.hpp"

namespace norvid {

// The service core: builds and owns the long-lived components, keeps the statistics, serves the
// socket and answers every command through its command table.
class IPCServer final : public StatisticsRecorder {
 public:
  IPCServer();
  explicit IPCServer(ServicePaths paths,
                     platform::SocketTransport::Options transportOptions = {});
  ~IPCServer() override;
  IPCServer(const IPCServer&) = delete;
  IPCServer& operator=(const IPCServer&) = delete;

  // Opens the socket and starts the accept thread. False when the socket cannot be created.
  bool start();
  // Ends the transport, waiting (bounded) for the requests in service. Quiet when not running.
  void stop();
  bool isRunning() const { return running_.load(); }

  // One request text in, one response text out. Never throws.
  std::string processCommand(const std::string& request, const CallerIdentity& caller = {});

  static std::string createErrorResponse(const std::string& message);

  void recordScan(const std::string& path) override;
  void recordThreat(const std::string& path, const std::string& threatName) override;
  void recordAmsiScan(bool malicious) override;

  std::string handleStatus();
  std::string handleReloadRules();

  // "1d 1h 1m" / "0h 0m" from whole seconds of uptime.
  static std::string formatUptime(std::int64_t seconds);

  const ServicePaths& paths() const { return paths_; }

 private:
  bool openPipe();
  void serverLoop();
  void construct();
  bool buildComponents();
  void trace(const std::string& line);
  std::vector<CommandRow> buildCommandTable();
  std::int64_t reportsCount() const;

  ServicePaths paths_;
  platform::SocketTransport transport_;
  std::atomic<bool> running_{false};
  std::unique_ptr<std::thread> acceptThread_;
  std::mutex transportMutex_;

  std::chrono::steady_clock::time_point startTime_;
  std::ofstream debugTrace_;
  std::mutex statsMutex_;
  ServiceStatistics stats_;
  EngineSlot engine_;
  std::unique_ptr<ExclusionsManager> exclusions_;
  std::unique_ptr<Scheduler> scheduler_;
  UsbControl usbControl_;

  ScanCommands scanCommands_;
  QuarantineCommands quarantineCommands_;
  // Built after construction, over the list and the scheduler (or their absence).
  std::unique_ptr<ExclusionCommands> exclusionCommands_;
  std::unique_ptr<ScheduleCommands> scheduleCommands_;
  ReportCommands reportCommands_;
  UsbCommands usbCommands_;
  std::unique_ptr<CommandDispatcher> dispatcher_;
};

}  // namespace norvid
