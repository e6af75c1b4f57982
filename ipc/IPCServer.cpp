#include "ipc/IPCServer.hpp"

#include <filesystem>
#include <iostream>
#include <map>
#include <shared_mutex>

#include "engine/ArchiveExtractor.hpp"
#include "engine/ContentFingerprint.hpp"
#include "engine/ScanThreadPool.hpp"
#include "ipc/CommandTable.hpp"
#include "ipc/JsonResponse.hpp"
#include "logging/EventLogger.hpp"
#include "platform/AdministratorGroup.hpp"
#include "quarantine/QuarantineManager.hpp"

namespace norvid {
namespace {

CommandHandler unavailable(const std::string& command) {
  return [command](const CommandArgs&) {
    return createErrorResponse("Comando no disponible: " + command);
  };
}

// status answers from what the core keeps at hand; it must never queue behind scans or large
// lists, so the transport gives it a lane of its own. A user beyond its share of requests in
// flight is answered at once, in the same form as any refusal. Connections kept open after
// "subscribe_events" go to the core's subscriptions.
platform::SocketTransport::Options withServiceLanes(platform::SocketTransport::Options options,
                                                    IPCServer* core) {
  if (options.busyResponse.empty()) {
    options.busyResponse = createErrorResponse("Demasiadas solicitudes en curso para este usuario");
  }
  options.connectionTaker = [core](int fd, const CallerIdentity& caller,
                                   std::function<void()> release) {
    core->subscriptions().adopt(fd, caller, std::move(release));
  };
  if (!options.quickRequest) {
    options.quickRequest = [](const std::string& request) {
      const nlohmann::json parsed = nlohmann::json::parse(request, nullptr, false);
      if (!parsed.is_object()) return false;
      auto command = parsed.find("command");
      return command != parsed.end() && command->is_string() && *command == "status";
    };
  }
  return options;
}

}  // namespace

IPCServer::IPCServer(ServiceConfiguration configuration,
                     platform::SocketTransport::Options transportOptions)
    : configuration_(std::move(configuration)),
      transport_(withServiceLanes(std::move(transportOptions), this)),
      subscriptions_(std::make_unique<EventSubscriptions>(configuration_.administratorGroup)),
      scanPool_(ScanThreadPool::instance(configuration_.scanThreads)),
      verdicts_(configuration_.verdictsFile()),
      usbControl_(configuration_.sysfsRoot, configuration_.modprobeDir),
      scanRegistry_(configuration_.administratorGroup),
      scanCommands_(engine_, statistics_, configuration_.quarantineDir(), &scanRegistry_),
      quarantineCommands_(configuration_.quarantineDir()),
      reportCommands_(engine_, configuration_.reportsDir(), &scanRegistry_,
                      configuration_.administratorGroup),
      usbCommands_(usbControl_) {
  construct();
  exclusionCommands_ = std::make_unique<ExclusionCommands>(exclusions_.get());
  scheduleCommands_ = std::make_unique<ScheduleCommands>(scheduler_.get());
  if (scheduler_) {
    scheduledScans_ = std::make_unique<ScheduledScans>(reportCommands_, configuration_.scanThreads);
    scheduleRunner_ = std::make_unique<ScheduleRunner>(
        *scheduler_,
        [scans = scheduledScans_.get()](const ScheduledTask& task, std::stop_token stop) {
          scans->run(task, stop);
        });
  }
  statusCommands_ = std::make_unique<StatusCommands>(
      engine_, statistics_, exclusions_.get(), scheduler_.get(), configuration_.quarantineDir(),
      configuration_.reportsDir(), configuration_.administratorGroup);
  ruleCommands_ = std::make_unique<RuleCommands>(
      engine_, configuration_.rulesDir(), configuration_.dataDir, configuration_.extractionDir(),
      configuration_.allowDir, exclusions_.get(), scanPool_, &verdicts_);
  dispatcher_ =
      std::make_unique<CommandDispatcher>(buildCommandTable(), configuration_.administratorGroup);
}

IPCServer::~IPCServer() {
  stop();
  scheduleRunner_.reset();
  verdicts_.detach();
  std::unique_lock<std::shared_mutex> lock(engine_.lock);
  if (engine_.engine) {
    engine_.engine->unload();
    engine_.engine.reset();
  }
  engine_.scanner.reset();
  scheduler_.reset();
  exclusions_.reset();
}

void IPCServer::trace(const std::string& line) {
  if (!debugTrace_.is_open()) return;
  debugTrace_ << line << '\n';
  debugTrace_.flush();
}

void IPCServer::construct() {
  debugTrace_.open(configuration_.dataDir + "/ipc_debug.log", std::ios::out | std::ios::app);
  trace("[DBG] IPCServer constructor start");
  trace("[DBG] exe_dir: " + configuration_.exeDir);

  EventLogger& logger = EventLogger::instance();
  try {
    logger.initialize(configuration_.logsDir(), configuration_.administratorGroup);
  } catch (const std::filesystem::filesystem_error& error) {
    // The service runs on without its event log (its lines are dropped) rather than not at all.
    std::cerr << "[ERROR] No se pudo crear el directorio de logs " << configuration_.logsDir()
              << ". Error: " << error.code().value() << std::endl;
    trace(std::string("[DBG] EventLogger FAILED: ") + error.what());
  }
  logger.logServiceEvent("Inicio", "NorvidCoreService iniciando...");
  trace("[DBG] EventLogger OK");
  QuarantineManager::recoverStore(configuration_.quarantineDir());
  if (buildComponents()) {
    const std::int32_t rules = engine_.engine->getTotalRules();
    trace("[DBG] Constructor COMPLETE - " + std::to_string(rules) + " rules");
    debugTrace_.close();
    logger.logServiceEvent("Listo", std::to_string(rules) + " reglas cargadas");
  }
  debugTrace_.close();
}

bool IPCServer::buildComponents() {
  EventLogger& logger = EventLogger::instance();
  std::unique_lock<std::shared_mutex> lock(engine_.lock);
  trace("[DBG] Creating YaraEngine...");
  engine_.engine = std::make_unique<YaraEngine>(configuration_.dataDir);
  // Rule feeds installed by norvid-update load after the rules folder, each in its namespace.
  std::vector<RuleFolder> feeds = feedRuleFolders(configuration_.dataDir);
  // Read before the load and checked unchanged after it, so that it describes what was loaded.
  const ContentFingerprint content = ContentFingerprint::ofEngineFolders(
      configuration_.rulesDir(), feeds, configuration_.allowDir, true, true);
  engine_.engine->setAdditionalFolders(std::move(feeds));
  trace("[DBG] YaraEngine created, initializing...");
  if (!engine_.engine->initialize()) {
    logger.error("No se pudo inicializar el motor YARA");
    engine_.engine.reset();
    trace("[DBG] YARA init FAILED");
    return false;
  }
  trace("[DBG] YARA initialized OK");
  const std::string rulesDir = configuration_.rulesDir();
  trace("[DBG] Loading rules from: " + rulesDir);
  bool loaded = false;
  try {
    loaded = engine_.engine->loadRulesFromDirectory(rulesDir);
  } catch (const std::filesystem::filesystem_error& error) {
    // A rules path that cannot even be examined (a symlink loop) is a failed load like any other.
    std::cerr << "[ERROR] No se pudo leer el directorio de reglas " << rulesDir
              << ". Error: " << error.code().value() << std::endl;
  }
  if (!loaded) {
    logger.error("No se pudieron cargar las reglas YARA desde: " + rulesDir);
    engine_.engine->unload();
    engine_.engine.reset();
    trace("[DBG] Rules load FAILED");
    return false;
  }
  trace("[DBG] Rules loaded: " + std::to_string(engine_.engine->getTotalRules()));
  engine_.engine->loadAllowList(configuration_.allowDir);

  trace("[DBG] Creating ExclusionsManager...");
  exclusions_ = std::make_unique<ExclusionsManager>(configuration_.exclusionsFile());
  exclusions_->initialize();
  trace("[DBG] Creating Scheduler...");
  scheduler_ = std::make_unique<Scheduler>(configuration_.schedulerFile());
  scheduler_->initialize();
  trace("[DBG] Creating Scanner...");
  engine_.scanner = std::make_unique<Scanner>(engine_.engine.get(), true, true, exclusions_.get(),
                                              configuration_.extractionDir(), &scanPool_);
  verdicts_.attach(engine_.scanner->verdictCache(), content, exclusions_.get());
  return true;
}

std::vector<CommandRow> IPCServer::buildCommandTable() {
  using Args = const CommandArgs&;
  ScanCommands& scans = scanCommands_;
  QuarantineCommands& quarantine = quarantineCommands_;
  ExclusionCommands& exclusions = *exclusionCommands_;
  ScheduleCommands& schedules = *scheduleCommands_;
  ReportCommands& reports = reportCommands_;
  UsbCommands& usb = usbCommands_;
  ScanRegistry& running = scanRegistry_;
  StatusCommands& status = *statusCommands_;
  RuleCommands& rules = *ruleCommands_;
  std::map<std::string, CommandHandler> handlers = {
      {"scan",
       [&scans](Args a) {
         return scans.handleScan(a.text("path"), a.caller(), a.context().hungUp.get());
       }},
      {"scan_realtime",
       [&scans](Args a) {
         return scans.handleScanRealtime(a.text("path"), a.context(), a.flag("program_start"));
       }},
      {"list_quarantine", [&quarantine](Args) { return quarantine.handleListQuarantine(); }},
      {"delete_quarantine",
       [&quarantine](Args a) {
         return quarantine.handleDeleteQuarantine(a.text("id"), a.caller());
       }},
      {"restore_quarantine",
       [&quarantine](Args a) {
         return quarantine.handleRestoreQuarantine(a.text("id"), a.caller());
       }},
      {"quarantine_file",
       [&quarantine](Args a) {
         return quarantine.handleQuarantineFile(a.text("path"), a.text("threat_name"), a.caller());
       }},
      {"status", [&status](Args a) { return status.handleStatus(a.caller()); }},
      {"add_exclusion",
       [&exclusions](Args a) {
         return exclusions.handleAddExclusion(a.text("path"), a.text("description"));
       }},
      {"remove_exclusion",
       [&exclusions](Args a) { return exclusions.handleRemoveExclusion(a.text("path")); }},
      {"list_exclusions", [&exclusions](Args) { return exclusions.handleListExclusions(); }},
      {"add_schedule",
       [&schedules](Args a) {
         return schedules.handleAddSchedule(a.text("frequency"), a.integer("hour"),
                                            a.integer("minute"), a.text("scan_type"),
                                            a.textList("scan_paths"));
       }},
      {"list_schedules", [&schedules](Args) { return schedules.handleListSchedules(); }},
      {"remove_schedule",
       [&schedules](Args a) { return schedules.handleRemoveSchedule(a.text("task_id")); }},
      {"scan_amsi",
       [&scans](Args a) {
         return scans.handleScanAmsi(a.text("content_name"), a.text("content"));
       }},
      {"reload_rules", [&rules](Args a) { return rules.handleReloadRules(a.caller()); }},
      {"generate_report",
       [&reports](Args a) {
         return reports.handleGenerateReport(a.text("path"), a.text("scan_type"), a.caller(),
                                             a.context().hungUp.get());
       }},
      {"list_reports",
       [&reports](Args a) { return reports.handleListReports(a.integer("max_count")); }},
      {"usb_status", [&usb](Args) { return usb.handleUsbStatus(); }},
      {"usb_enable", [&usb](Args) { return usb.handleUsbEnable(); }},
      {"usb_disable", [&usb](Args) { return usb.handleUsbDisable(); }},
      {"usb_list_devices", [&usb](Args) { return usb.handleUsbListDevices(); }},
      {"usb_disable_port",
       [&usb](Args a) { return usb.handleUsbDisablePort(a.text("device_id")); }},
      {"usb_enable_port", [&usb](Args a) { return usb.handleUsbEnablePort(a.text("device_id")); }},
      {"list_scans", [&running](Args a) { return running.handleListScans(a.caller()); }},
      {"cancel_scan",
       [&running](Args a) { return running.handleCancelScan(a.integer("scan_id"), a.caller()); }},
      {"subscribe_events", [this](Args a) { return subscriptions_->handleSubscribe(a.caller()); }},
  };
  return CommandTable::build([&handlers](const std::string& command) {
    auto found = handlers.find(command);
    return found != handlers.end() ? found->second : unavailable(command);
  });
}

std::string IPCServer::processCommand(const std::string& request, const RequestContext& context) {
  return dispatcher_->dispatch(request, context);
}

bool IPCServer::openPipe() {
  if (running_.load()) {
    std::cout << "[IPCServer] El servidor ya está ejecutando" << std::endl;
    return true;
  }
  const platform::Result<> opened = configuration_.listeningSocket >= 0
                                        ? transport_.adopt(configuration_.listeningSocket)
                                        : transport_.open(configuration_.socketPath);
  if (!opened) {
    std::cerr << "[IPCServer] Error al crear Named Pipe. Código: " << opened.failure().code
              << std::endl;
    return false;
  }
  running_ = true;
  std::cout << "[IPCServer] Servidor IPC iniciado en: "
            << (configuration_.listeningSocket >= 0 ? "el socket recibido del gestor de servicios"
                                                    : configuration_.socketPath)
            << std::endl;
  std::cout << "[IPCServer] Pipe configurado con permisos de acceso para todos los usuarios"
            << std::endl;
  return true;
}

bool IPCServer::start() {
  std::lock_guard<std::mutex> guard(transportMutex_);
  if (running_.load()) return openPipe();
  if (!openPipe()) return false;
  // Only once this process holds the socket: another instance on the same data directory must not
  // empty the folder under the scans of the one serving.
  if (!extractionFolderEmptied_) emptyExtractionFolder();
  acceptThread_ = std::make_unique<std::thread>([this] { serverLoop(); });
  // Tasks missed while the service was down start now, the others at their time.
  if (scheduleRunner_) scheduleRunner_->start();
  verdicts_.startBackgroundSaves();
  return true;
}

void IPCServer::emptyExtractionFolder() {
  extractionFolderEmptied_ = true;
  const std::string folder = configuration_.extractionDir();
  try {
    ArchiveExtractor::emptyFolder(folder);
  } catch (const std::filesystem::filesystem_error& error) {
    // Extraction then fails archive by archive, and each archive is judged as a whole file.
    std::cerr << "[ERROR] No se pudo preparar la carpeta de extracción " << folder << ": "
              << error.what() << std::endl;
    EventLogger::instance().error("No se pudo preparar la carpeta de extracción " + folder + ": " +
                                  error.what());
  }
}

void IPCServer::serverLoop() {
  EventLogger& logger = EventLogger::instance();
  logger.info("IPCServer: Esperando conexiones (multi-hilo)...");
  const platform::Result<> served =
      transport_.serve([this](const std::string& request, const RequestContext& context) {
        return processCommand(request, context);
      });
  if (!served && running_.load()) {
    logger.error("IPCServer: Error al conectar cliente: " + std::to_string(served.failure().code));
  }
  logger.info("IPCServer: Loop de procesamiento terminado");
}

void IPCServer::stop() {
  std::lock_guard<std::mutex> guard(transportMutex_);
  if (!running_.exchange(false)) return;
  // Scheduled scans are cancelled first: they hold the engine and would keep the stop waiting.
  if (scheduleRunner_) scheduleRunner_->stop();
  transport_.stop();
  subscriptions_->closeAll();
  if (acceptThread_) {
    if (acceptThread_->joinable()) acceptThread_->join();
    acceptThread_.reset();
  }
  verdicts_.save();
  std::cout << "[IPCServer] Servidor IPC detenido" << std::endl;
}

}  // namespace norvid
