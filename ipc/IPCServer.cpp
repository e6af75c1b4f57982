#include "ipc/IPCServer.hpp"

#include <filesystem>
#include <iostream>
#include <map>

#include "ipc/CommandTable.hpp"
#include "ipc/JsonResponse.hpp"
#include "logging/EventLogger.hpp"
#include "platform/LocalTime.hpp"
#include "platform/ProcessInfo.hpp"
#include "platform/SystemError.hpp"

namespace norvid {
namespace {

constexpr const char* kVersion = "0.1.0";
constexpr const char* kServiceName = "NorvidCoreService";

CommandHandler unavailable(const std::string& command) {
  return [command](const CommandArgs&) {
    return createErrorResponse("Comando no disponible: " + command);
  };
}

}  // namespace

IPCServer::IPCServer() : IPCServer(ServicePaths::fromPlatform()) {}

IPCServer::IPCServer(ServicePaths paths, platform::SocketTransport::Options transportOptions)
    : paths_(std::move(paths)),
      transport_(transportOptions),
      startTime_(std::chrono::steady_clock::now()) {
  construct();
  dispatcher_ = std::make_unique<CommandDispatcher>(buildCommandTable());
}

IPCServer::~IPCServer() { stop(); }

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
  logger.initialize(paths_.logsDir());
  logger.logServiceEvent("Inicio", "NorvidCoreService iniciando...");
  trace("[DBG] EventLogger OK");
  debugTrace_.close();
}

std::vector<CommandRow> IPCServer::buildCommandTable() {
  std::map<std::string, CommandHandler> handlers = {
      {"status", [this](const CommandArgs&) { return handleStatus(); }},
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

std::int64_t IPCServer::reportsCount() const {
  const std::filesystem::path directory = paths_.reportsDir();
  if (!std::filesystem::exists(directory)) return 0;
  std::int64_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.is_regular_file() && entry.path().extension() == ".json") ++count;
  }
  return count;
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
  response["engine_ready"] = false;
  response["rules_loaded"] = 0;
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
  response["exclusions_count"] = 0;
  response["schedules_count"] = 0;
  response["quarantine_count"] = 0;
  if (auto resident = platform::residentMemoryBytes()) {
    response["memory_usage_mb"] = static_cast<double>(*resident) / (1024.0 * 1024.0);
  }
  response["reports_count"] = reportsCount();
  return serializeResponse(response);
}

bool IPCServer::openPipe() {
  if (running_.load()) {
    std::cout << "[IPCServer] El servidor ya está ejecutando" << std::endl;
    return true;
  }
  int code = transport_.open(paths_.socketPath);
  if (code != 0) {
    std::cerr << "[IPCServer] Error al crear Named Pipe. Código: " << code << std::endl;
    return false;
  }
  running_ = true;
  std::cout << "[IPCServer] Servidor IPC iniciado en: " << paths_.socketPath << std::endl;
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
