#include "ipc/ScanCommands.hpp"

#include <filesystem>
#include <fstream>
#include <shared_mutex>

#include "ipc/JsonResponse.hpp"
#include "ipc/PathScan.hpp"
#include "logging/EventLogger.hpp"
#include "logging/ServiceEvents.hpp"
#include "platform/FsCredentialsGuard.hpp"
#include "platform/TempFile.hpp"
#include "quarantine/QuarantineManager.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;

std::int32_t countInfected(const DirectoryScanResult& results) {
  std::int32_t infected = 0;
  for (const ScanResult& result : results) {
    if (result.status == ScanStatus::INFECTED) ++infected;
  }
  return infected;
}

void describeFile(const ScanResult& result, nlohmann::json& response) {
  response["scan_type"] = "file";
  response["files_scanned"] = 1;
  response["threats_found"] = result.status == ScanStatus::INFECTED ? 1 : 0;
  response["result"] = scanStatusWord(result.status);
  switch (result.status) {
    case ScanStatus::INFECTED:
      response["threat_name"] = result.threat;
      response["message"] = "¡AMENAZA DETECTADA! Archivo infectado con: " + result.threat;
      break;
    case ScanStatus::CLEAN:
      response["message"] = "El archivo está limpio. No se detectaron amenazas.";
      break;
    case ScanStatus::ERROR:
      response["message"] = "Error al escanear: " + result.threat;
      break;
    case ScanStatus::SKIPPED:
      response["message"] = "Archivo omitido: " + result.threat;
      break;
  }
}

void describeDirectory(const DirectoryScanResult& results, nlohmann::json& response) {
  const auto scanned = static_cast<std::int32_t>(results.size());
  const std::int32_t infected = countInfected(results);
  response["scan_type"] = "directory";
  response["files_scanned"] = scanned;
  response["threats_found"] = infected;
  response["result"] = infected == 0 ? "CLEAN" : "INFECTED";
  if (infected == 0) {
    response["message"] = "Directorio limpio. Se escanearon " + std::to_string(scanned) +
                          " archivo(s) sin detectar amenazas.";
    return;
  }
  nlohmann::json infectedFiles = nlohmann::json::array();
  for (const ScanResult& result : results) {
    if (result.status == ScanStatus::INFECTED) {
      infectedFiles.push_back(result.path + " (" + result.threat + ")");
    }
  }
  response["infected_files"] = std::move(infectedFiles);
  response["message"] = "Se detectaron " + std::to_string(infected) + " amenaza(s) en " +
                        std::to_string(scanned) + " archivo(s) escaneado(s).";
}

// Removes the temporary file on every way out of the AMSI scan.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

ScanCommands::ScanCommands(EngineSlot& slot, StatisticsRecorder& statistics,
                           std::string quarantineDir, ScanRegistry* registry)
    : slot_(slot),
      statistics_(statistics),
      quarantineDir_(std::move(quarantineDir)),
      registry_(registry) {}

std::string ScanCommands::handleScan(const std::string& path, const CallerIdentity& caller) {
  std::shared_lock<std::shared_mutex> lock(slot_.lock);
  try {
    if (!slot_.usable()) {
      return createErrorResponse(
          "Motor YARA no inicializado. Verifica que exista el archivo rules/malware.yar");
    }
    nlohmann::json response{{"status", "ok"}, {"command", "scan"}, {"path", path}};
    const PathScan scan = PathScan::run(*slot_.scanner, path, caller, registry_, "scan");
    switch (scan.kind) {
      case PathScan::Kind::Missing:
        return createErrorResponse("La ruta no existe: " + path);
      case PathScan::Kind::Other:
        return createErrorResponse("La ruta no es un archivo ni un directorio válido: " + path);
      case PathScan::Kind::File:
        describeFile(scan.results.front(), response);
        break;
      case PathScan::Kind::Directory:
        describeDirectory(scan.results, response);
        if (scan.cancelled) response["cancelled"] = true;
        break;
    }

    const std::string result = response.value("result", "UNKNOWN");
    const std::string threatName = response.value("threat_name", "");
    const std::int32_t filesScanned = response.value("files_scanned", 1);
    EventLogger::instance().logScanEvent(path, result, threatName, filesScanned);
    scan.announce("scan", path, caller);
    statistics_.recordScan(path);
    if (result == "INFECTED") statistics_.recordThreat(path, threatName);
    return serializeResponse(response);
  } catch (const std::exception& error) {
    EventLogger::instance().error("Error al escanear " + path + ": " + error.what());
    return createErrorResponse(std::string("Error al escanear: ") + error.what());
  }
}

std::string ScanCommands::handleScanRealtime(const std::string& path,
                                             const CallerIdentity& caller) {
  std::shared_lock<std::shared_mutex> lock(slot_.lock);
  try {
    if (!slot_.usable()) return createErrorResponse("Motor YARA no inicializado");
    ScanResult result;
    {
      platform::FsCredentialsGuard asCaller(caller);
      std::error_code error;
      const fs::file_status status = fs::status(path, error);
      if (!fs::exists(status)) return createErrorResponse("Archivo no existe: " + path);
      if (!fs::is_regular_file(status)) {
        return createErrorResponse("La ruta no es un archivo válido");
      }
      result = slot_.scanner->scanFile(path, 0, "", caller);
    }
    statistics_.recordScan(path);
    nlohmann::json response{{"command", "scan_realtime"}, {"quarantined", false}};
    switch (result.status) {
      case ScanStatus::INFECTED: {
        response["status"] = "threat";
        response["threat"] = result.threat;
        statistics_.recordThreat(path, result.threat);
        const auto owner =
            ServiceEvents::instance().threatFound("scan_realtime", path, result.threat, caller);
        try {
          QuarantineManager store(quarantineDir_);
          const std::string id = store.quarantineFile(path, result.threat, "YARA", caller);
          if (!id.empty()) {
            response["quarantined"] = true;
            response["quarantine_id"] = id;
            EventLogger::instance().logRealtimeThreat(path, result.threat, true);
            ServiceEvents::instance().fileQuarantined("scan_realtime", path, result.threat, id,
                                                      owner, caller);
          }
        } catch (const std::exception& quarantineError) {
          response["quarantine_error"] = quarantineError.what();
          EventLogger::instance().logRealtimeThreat(path, result.threat, false);
          EventLogger::instance().error(std::string("Cuarentena fallida: ") +
                                        quarantineError.what());
        }
        break;
      }
      case ScanStatus::ERROR:
      case ScanStatus::SKIPPED:
        response["status"] = "error";
        response["error"] = result.threat;
        break;
      case ScanStatus::CLEAN:
        response["status"] = "clean";
        response["threat"] = nullptr;
        break;
    }
    return serializeResponse(response);
  } catch (const std::exception& error) {
    return createErrorResponse(std::string("Error en escaneo realtime: ") + error.what());
  }
}

std::string ScanCommands::handleScanAmsi(const std::string& contentName,
                                         const std::string& content) {
  std::shared_lock<std::shared_mutex> lock(slot_.lock);
  if (!slot_.engine) {
    return serializeResponse(
        {{"status", "ok"}, {"is_malicious", false}, {"threat_name", ""}, {"engine", "unavailable"}});
  }
  try {
    const platform::Result<std::string> created = platform::createTempFile("amsi");
    if (!created) throw std::runtime_error(created.message());
    const TemporaryFile file(*created);
    nlohmann::json response{{"status", "ok"},
                            {"is_malicious", false},
                            {"threat_name", ""},
                            {"content_name", contentName},
                            {"engine", "yara"}};
    std::ofstream out(file.path(), std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) return serializeResponse(response);
    if (!slot_.scanner) throw std::runtime_error("Scanner no inicializado");

    const ScanResult result = slot_.scanner->scanFile(file.path(), 0, "");
    const bool malicious = result.status == ScanStatus::INFECTED;
    if (malicious) {
      response["is_malicious"] = true;
      response["threat_name"] = result.threat;
      EventLogger::instance().logAmsiEvent(contentName, true, result.threat);
    }
    statistics_.recordAmsiScan(malicious);
    return serializeResponse(response);
  } catch (const std::exception& error) {
    return serializeResponse(
        {{"status", "ok"}, {"is_malicious", false}, {"threat_name", ""}, {"error", error.what()}});
  }
}

}  // namespace norvid
