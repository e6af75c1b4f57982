#include "ipc/IPCServer.hpp"

#include <filesystem>
#include <iostream>
#include <map>
#include <shared_mutex>

#include "ipc/CommandTable.hpp"
#include "quarantine/QuarantineManager.hpp"
#include "ipc/JsonResponse.hpp"
#include "logging/EventLogger.hpp"
#include "reports/ReportListing.hpp"
#include "platform/LocalTime.hpp"
#include "platform/ProcessInfo.hpp"
#include "norvid/Version.hpp"
#include "platform/SystemError.hpp"

namespace norvid {
namespace {

constexpr const char* kServiceName = "NorvidCoreService";

CommandHandler unavailable(const std::string& command) {
  return [command](const CommandArgs&) {
    return createErrorResponse("Comando no disponible: " + command);
  };
}

// status answers from what the core keeps at hand; it must never queue behind scans or large
// lists, so the transport gives it a lane of its own.
platform::SocketTransport::Options withStatusLane(platform::SocketTransport::Options options) {
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

IPCServer::IPCServer() : IPCServer(ServicePaths::fromPlatform()) {}

IPCServer::IPCServer(ServicePaths paths, platform::SocketTransport::Options transportOptions)
    : paths_(std::move(paths)),
      transport_(withStatusLane(std::move(transportOptions))),
      startTime_(std::chrono::steady_clock::now()),
      usbControl_(paths_.sysfsRoot, paths_.modprobeDir),
      scanCommands_(engine_, *this, paths_.quarantineDir(), &scanRegistry_),
      quarantineCommands_(paths_.quarantineDir()),
      reportCommands_(engine_, paths_.reportsDir(), &scanRegistry_),
      usbCommands_(usbControl_) {
  construct();
  exclusionCommands_ = std::make_unique<ExclusionCommands>(exclusions_.get());
  scheduleCommands_ = std::make_unique<ScheduleCommands>(scheduler_.get());
  dispatcher_ = std::make_unique<CommandDispatcher>(buildCommandTable());
}

IPCServer::~IPCServer() {
  stop();
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
  debugTrace_.open(paths_.dataDir + "/ipc_debug.log", std::ios::out | std::ios::app);
  trace("[DBG] IPCServer constructor start");
  trace("[DBG] exe_dir: " + paths_.exeDir);

  EventLogger& logger = EventLogger::instance();
  try {
    logger.initialize(paths_.logsDir());
  } catch (const std::filesystem::filesystem_error& error) {
    // The service runs on without its event log (its lines are dropped) rather than not at all.
    std::cerr << "[ERROR] No se pudo crear el directorio de logs " << paths_.logsDir()
              << ". Error: " << error.code().value() << std::endl;
    trace(std::string("[DBG] EventLogger FAILED: ") + error.what());
  }
  logger.logServiceEvent("Inicio", "NorvidCoreService iniciando...");
  trace("[DBG] EventLogger OK");
  QuarantineManager::recoverStore(paths_.quarantineDir());
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
  engine_.engine = std::make_unique<YaraEngine>(paths_.dataDir);
  trace("[DBG] YaraEngine created, initializing...");
  if (!engine_.engine->initialize()) {
    logger.error("No se pudo inicializar el motor YARA");
    engine_.engine.reset();
    trace("[DBG] YARA init FAILED");
    return false;
  }
  trace("[DBG] YARA initialized OK");
  const std::string rulesDir = paths_.rulesDir();
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

  trace("[DBG] Creating ExclusionsManager...");
  exclusions_ = std::make_unique<ExclusionsManager>(paths_.exclusionsFile());
  exclusions_->initialize();
  trace("[DBG] Creating Scheduler...");
  scheduler_ = std::make_unique<Scheduler>(paths_.schedulerFile());
  scheduler_->initialize();
  trace("[DBG] Creating Scanner...");
  engine_.scanner =
      std::make_unique<Scanner>(engine_.engine.get(), true, true, exclusions_.get());
  return true;
}

std::string IPCServer::handleReloadRules() {
  EventLogger& logger = EventLogger::instance();
  logger.info("Hot-reload de reglas iniciado");
  std::unique_lock<std::shared_mutex> lock(engine_.lock);
  try {
    engine_.scanner.reset();
    if (engine_.engine) {
      engine_.engine->unload();
      engine_.engine.reset();
    }
    engine_.engine = std::make_unique<YaraEngine>(paths_.dataDir);
    if (!engine_.engine->initialize()) {
      logger.error("reload_rules: no se pudo inicializar YARA");
      engine_.engine.reset();
      return createErrorResponse("reload_rules: no se pudo inicializar YARA");
    }
    const std::string rulesDir = paths_.rulesDir();
    logger.info("reload_rules: cargando desde " + rulesDir);
    if (!engine_.engine->loadRulesFromDirectory(rulesDir)) {
      logger.error("reload_rules: no se pudieron cargar reglas");
      engine_.engine->unload();
      engine_.engine.reset();
      return createErrorResponse("reload_rules: no se pudieron cargar las reglas desde " +
                                 rulesDir);
    }
    engine_.scanner =
        std::make_unique<Scanner>(engine_.engine.get(), true, true, exclusions_.get());
    const std::int32_t rules = engine_.engine->getTotalRules();
    logger.logRulesUpdated(rules, "hot-reload");
    return serializeResponse({{"status", "ok"},
                              {"rules_loaded", rules},
                              {"rules_path", rulesDir},
                              {"message", "Reglas YARA recargadas: " + std::to_string(rules) +
                                              " reglas activas"}});
  } catch (const std::exception& error) {
    logger.error(std::string("reload_rules excepcion: ") + error.what());
    return createErrorResponse(std::string("reload_rules exception: ") + error.what());
  }
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
  std::map<std::string, CommandHandler> handlers = {
      {"scan", [&scans](Args a) { return scans.handleScan(a.text("path"), a.caller()); }},
      {"scan_realtime",
       [&scans](Args a) { return scans.handleScanRealtime(a.text("path"), a.caller()); }},
      {"list_quarantine", [&quarantine](Args) { return quarantine.handleListQuarantine(); }},
      {"delete_quarantine",
       [&quarantine](Args a) { return quarantine.handleDeleteQuarantine(a.text("id")); }},
      {"restore_quarantine",
       [&quarantine](Args a) { return quarantine.handleRestoreQuarantine(a.text("id")); }},
      {"quarantine_file",
       [&quarantine](Args a) {
         return quarantine.handleQuarantineFile(a.text("path"), a.text("threat_name"),
                                                a.caller());
       }},
      {"status", [this](Args) { return handleStatus(); }},
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
                                            a.integer("minute"), a.text("scan_type"));
       }},
      {"list_schedules", [&schedules](Args) { return schedules.handleListSchedules(); }},
      {"remove_schedule",
       [&schedules](Args a) { return schedules.handleRemoveSchedule(a.text("task_id")); }},
      {"scan_amsi",
       [&scans](Args a) { return scans.handleScanAmsi(a.text("content_name"), a.text("content")); }},
      {"reload_rules", [this](Args) { return handleReloadRules(); }},
      {"generate_report",
       [&reports](Args a) {
         return reports.handleGenerateReport(a.text("path"), a.text("scan_type"), a.caller());
       }},
      {"list_reports", [&reports](Args a) { return reports.handleListReports(a.integer("max_count")); }},
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
  };
  return CommandTable::build([&handlers](const std::string& command) {
    auto found = handlers.find(command);
    return found != handlers.end() ? found->second : unavailable(command);
  });
}

std::string IPCServer::processCommand(const std::string& request, const CallerIdentity& caller) {
  return dispatcher_->dispatch(request, caller);
}

std::string IPCServer::createErrorResponse(const std::string& message) {
  return norvid::createErrorResponse(message);
}

void IPCServer::recordScan(const std::string& path) {
  stats_.totalScans.fetch_add(1);
  std::string now = platform::formatLocalNow("%Y-%m-%d %H:%M:%S");
  std::lock_guard<std::mutex> guard(statsMutex_);
  stats_.lastScanPath = path;
  stats_.lastScanTime = now;
}

void IPCServer::recordAmsiScan(bool malicious) {
  stats_.totalAmsiScans.fetch_add(1);
  if (malicious) stats_.totalAmsiThreats.fetch_add(1);
}

void IPCServer::recordThreat(const std::string& path, const std::string& threatName) {
  stats_.totalThreats.fetch_add(1);
  std::string now = platform::formatLocalNow("%Y-%m-%d %H:%M:%S");
  std::lock_guard<std::mutex> guard(statsMutex_);
  stats_.lastThreatName = threatName;
  stats_.lastThreatPath = path;
  stats_.lastThreatTime = now;
}

std::string IPCServer::formatUptime(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t hours = (seconds - days * 86400) / 3600;
  std::int64_t minutes = (seconds - (seconds / 3600) * 3600) / 60;
  std::string text;
  if (days >= 1) text = std::to_string(days) + "d ";
  return text + std::to_string(hours) + "h " + std::to_string(minutes) + "m";
}

std::string IPCServer::handleStatus() {
  auto elapsed = std::chrono::steady_clock::now() - startTime_;
  std::int64_t uptime = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() /
                        1000000000;
  nlohmann::json response;
  response["status"] = "ok";
  response["command"] = "status";
  response["service_running"] = true;
  response["version"] = kVersion;
  response["service_name"] = kServiceName;
  response["uptime_seconds"] = uptime;
  response["uptime_formatted"] = formatUptime(uptime);
  {
    std::shared_lock<std::shared_mutex> lock(engine_.lock);
    const bool ready = engine_.engine != nullptr && engine_.engine->hasRuleSets();
    response["engine_ready"] = ready;
    response["rules_loaded"] = ready ? engine_.engine->getTotalRules() : 0;
  }
  response["total_scans"] = stats_.totalScans.load();
  response["total_threats"] = stats_.totalThreats.load();
  response["total_amsi_scans"] = stats_.totalAmsiScans.load();
  response["total_amsi_threats"] = stats_.totalAmsiThreats.load();
  {
    std::lock_guard<std::mutex> guard(statsMutex_);
    response["last_scan_path"] = stats_.lastScanPath;
    response["last_scan_time"] = stats_.lastScanTime;
    response["last_threat_name"] = stats_.lastThreatName;
    response["last_threat_path"] = stats_.lastThreatPath;
    response["last_threat_time"] = stats_.lastThreatTime;
  }
  response["exclusions_count"] = exclusions_ ? static_cast<std::int64_t>(exclusions_->getCount()) : 0;
  response["schedules_count"] =
      scheduler_ ? static_cast<std::int64_t>(scheduler_->getTasks().size()) : 0;
  std::int64_t quarantined = 0;
  try {
    quarantined = static_cast<std::int64_t>(QuarantineManager::recordCount(paths_.quarantineDir()));
  } catch (...) {
    quarantined = 0;
  }
  response["quarantine_count"] = quarantined;
  if (auto resident = platform::residentMemoryBytes()) {
    response["memory_usage_mb"] = static_cast<double>(*resident) / (1024.0 * 1024.0);
  }
  response["reports_count"] = countReports(paths_.reportsDir());
  return serializeResponse(response);
}

bool IPCServer::openPipe() {
  if (running_.load()) {
    std::cout << "[IPCServer] El servidor ya está ejecutando" << std::endl;
    return true;
  }
  int code = paths_.listeningSocket >= 0 ? transport_.adopt(paths_.listeningSocket)
                                          : transport_.open(paths_.socketPath);
  if (code != 0) {
    std::cerr << "[IPCServer] Error al crear Named Pipe. Código: " << code << std::endl;
    return false;
  }
  running_ = true;
  std::cout << "[IPCServer] Servidor IPC iniciado en: "
            << (paths_.listeningSocket >= 0 ? "el socket recibido del gestor de servicios"
                                            : paths_.socketPath)
            << std::endl;
  std::cout << "[IPCServer] Pipe configurado con permisos de acceso para todos los usuarios"
            << std::endl;
  return true;
}

bool IPCServer::start() {
  std::lock_guard<std::mutex> guard(transportMutex_);
  if (running_.load()) return openPipe();
  if (!openPipe()) return false;
  acceptThread_ = std::make_unique<std::thread>([this] { serverLoop(); });
  return true;
}

void IPCServer::serverLoop() {
  EventLogger& logger = EventLogger::instance();
  logger.info("IPCServer: Esperando conexiones (multi-hilo)...");
  int code = transport_.serve([this](const std::string& request, const CallerIdentity& caller) {
    return processCommand(request, caller);
  });
  if (code != 0 && running_.load()) {
    logger.error("IPCServer: Error al conectar cliente: " + std::to_string(code));
  }
  logger.info("IPCServer: Loop de procesamiento terminado");
}

void IPCServer::stop() {
  std::lock_guard<std::mutex> guard(transportMutex_);
  if (!running_.exchange(false)) return;
  transport_.stop();
  if (acceptThread_) {
    if (acceptThread_->joinable()) acceptThread_->join();
    acceptThread_.reset();
  }
  std::cout << "[IPCServer] Servidor IPC detenido" << std::endl;
}

}  // namespace norvid
