#pragma once

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/EngineSlot.hpp"
#include "engine/PersistentVerdicts.hpp"
#include "exclusions/ExclusionsManager.hpp"
#include "ipc/CommandDispatcher.hpp"
#include "ipc/EventSubscriptions.hpp"
#include "ipc/ExclusionCommands.hpp"
#include "ipc/QuarantineCommands.hpp"
#include "ipc/ReportCommands.hpp"
#include "ipc/RuleCommands.hpp"
#include "ipc/ScanCommands.hpp"
#include "ipc/ScheduleCommands.hpp"
#include "ipc/ScheduledScans.hpp"
#include "ipc/ServiceConfiguration.hpp"
#include "ipc/ServiceStatistics.hpp"
#include "ipc/StatusCommands.hpp"
#include "ipc/UsbCommands.hpp"
#include "platform/CallerIdentity.hpp"
#include "platform/SocketTransport.hpp"
#include "scheduler/ScheduleRunner.hpp"
#include "scheduler/Scheduler.hpp"
#include "usb/UsbControl.hpp"

namespace norvid {

class ScanThreadPool;

// The service core: builds and owns the long-lived components and the command adapters over them
// from one configuration, and serves the socket through the command table.
class IPCServer final {
 public:
  explicit IPCServer(ServiceConfiguration configuration,
                     platform::SocketTransport::Options transportOptions = {});
  ~IPCServer();
  IPCServer(const IPCServer&) = delete;
  IPCServer& operator=(const IPCServer&) = delete;

  // Opens the socket and starts the accept thread and the runner of scheduled tasks. False when
  // the socket cannot be created.
  bool start();
  // Stops the scheduled scans (cancelled, their reports written) and ends the transport, waiting
  // (bounded) for the requests in service. Quiet when not running.
  void stop();
  bool isRunning() const { return running_.load(); }
  // True when stop() left requests running past its drain: they still use this core.
  bool requestsOutlivedStop() const { return transport_.leftWorkersRunning(); }

  // One request text in, one response text out. Never throws.
  std::string processCommand(const std::string& request, const RequestContext& context = {});

  ServiceStatistics& statistics() { return statistics_; }
  EventSubscriptions& subscriptions() { return *subscriptions_; }

 private:
  bool openPipe();
  // Empties the archive extraction folder, so that nothing a stopped run left there survives.
  void emptyExtractionFolder();
  void serverLoop();
  void construct();
  bool buildComponents();
  void trace(const std::string& line);
  std::vector<CommandRow> buildCommandTable();

  ServiceConfiguration configuration_;
  platform::SocketTransport transport_;
  // After the transport: its subscribers are closed (and released to it) before it goes away.
  std::unique_ptr<EventSubscriptions> subscriptions_;
  std::atomic<bool> running_{false};
  std::unique_ptr<std::thread> acceptThread_;
  std::mutex transportMutex_;
  bool extractionFolderEmptied_ = false;

  std::ofstream debugTrace_;
  ServiceStatistics statistics_;
  ScanThreadPool& scanPool_;
  EngineSlot engine_;
  // Backs the scanner's verdict cache with a file, so that a restart starts from it.
  PersistentVerdicts verdicts_;
  std::unique_ptr<ExclusionsManager> exclusions_;
  std::unique_ptr<Scheduler> scheduler_;
  UsbControl usbControl_;

  ScanRegistry scanRegistry_;
  ScanCommands scanCommands_;
  QuarantineCommands quarantineCommands_;
  ReportCommands reportCommands_;
  UsbCommands usbCommands_;
  // Built after construction, over the list and the scheduler (or their absence).
  std::unique_ptr<ExclusionCommands> exclusionCommands_;
  std::unique_ptr<ScheduleCommands> scheduleCommands_;
  // Runs the scheduler's due tasks while the transport runs (absent without a scheduler).
  std::unique_ptr<ScheduledScans> scheduledScans_;
  std::unique_ptr<ScheduleRunner> scheduleRunner_;
  std::unique_ptr<StatusCommands> statusCommands_;
  std::unique_ptr<RuleCommands> ruleCommands_;
  std::unique_ptr<CommandDispatcher> dispatcher_;
};

}  // namespace norvid
