#include "ipc/ScanCommands.hpp"

#include <filesystem>
#include <fstream>
#include <optional>
#include <shared_mutex>
#include <vector>

#include "engine/Scanner.hpp"
#include "ipc/JsonResponse.hpp"
#include "ipc/PathScan.hpp"
#include "logging/EventLogger.hpp"
#include "logging/ServiceEvents.hpp"
#include "platform/FsCredentialsGuard.hpp"
#include "platform/PinnedFile.hpp"
#include "platform/TempFile.hpp"
#include "quarantine/QuarantineManager.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;

// What a scan's answer says of its verdicts, kept as they come: the count, the infected files and
// the first verdict (a file scan's only one). A directory's clean files are only counted.
struct VerdictTally {
  // The entries that could not be judged, listed in a directory's answer so that a part of the
  // tree left unscanned is never only a console line; at most this many, the rest counted.
  static constexpr std::size_t kMaxListedErrors = 100;

  std::int32_t judged = 0;
  std::vector<std::string> infected;
  std::vector<std::string> errors;
  std::int32_t unlistedErrors = 0;
  std::optional<ScanResult> first;

  void add(const ScanResult& result) {
    ++judged;
    if (result.status == ScanStatus::INFECTED) {
      infected.push_back(result.path + " (" + result.threat + ")");
    } else if (result.status == ScanStatus::ERROR) {
      if (errors.size() < kMaxListedErrors) {
        errors.push_back(result.path + " (" + result.threat + ")");
      } else {
        ++unlistedErrors;
      }
    }
    if (!first) first = result;
  }
};

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

void describeDirectory(const VerdictTally& tally, nlohmann::json& response) {
  const std::int32_t scanned = tally.judged;
  const auto infected = static_cast<std::int32_t>(tally.infected.size());
  response["scan_type"] = "directory";
  response["files_scanned"] = scanned;
  response["threats_found"] = infected;
  response["result"] = infected == 0 ? "CLEAN" : "INFECTED";
  if (!tally.errors.empty()) {
    response["errors"] = tally.errors;
    if (tally.unlistedErrors > 0) response["errors_not_listed"] = tally.unlistedErrors;
  }
  if (infected == 0) {
    response["message"] = "Directorio limpio. Se escanearon " + std::to_string(scanned) +
                          " archivo(s) sin detectar amenazas.";
    return;
  }
  response["infected_files"] = tally.infected;
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

std::string ScanCommands::handleScan(const std::string& path, const CallerIdentity& caller,
                                     const std::atomic<bool>* hungUp) {
  std::shared_lock<std::shared_mutex> lock(slot_.lock);
  try {
    if (!slot_.usable()) {
      return createErrorResponse(
          "Motor YARA no inicializado. Verifica que exista el archivo rules/malware.yar");
    }
    nlohmann::json response{{"status", "ok"}, {"command", "scan"}, {"path", path}};
    VerdictTally tally;
    const PathScan scan = PathScan::run(
        *slot_.scanner, path, caller, registry_, "scan",
        [&tally](const ScanResult& result) { tally.add(result); }, hungUp);
    switch (scan.kind) {
      case PathScan::Kind::Missing:
        return createErrorResponse("La ruta no existe: " + path);
      case PathScan::Kind::Other:
        return createErrorResponse("La ruta no es un archivo ni un directorio válido: " + path);
      case PathScan::Kind::File:
        describeFile(*tally.first, response);
        break;
      case PathScan::Kind::Directory:
        describeDirectory(tally, response);
        if (scan.cancelled) response["cancelled"] = true;
        break;
    }

    const std::string result = response.value("result", "UNKNOWN");
    const std::string threatName = response.value("threat_name", "");
    const std::int32_t filesScanned = response.value("files_scanned", 1);
    EventLogger::instance().logScanEvent(path, result, threatName, filesScanned);
    scan.announce("scan", path, caller);
    statistics_.recordScan(path, caller);
    if (result == "INFECTED") statistics_.recordThreat(path, threatName, caller);
    return serializeResponse(response);
  } catch (const std::exception& error) {
    EventLogger::instance().error("Error al escanear " + path + ": " + error.what());
    return createErrorResponse(std::string("Error al escanear: ") + error.what());
  }
}

std::string ScanCommands::handleScanRealtime(const std::string& path, const RequestContext& request,
                                             bool programStart) {
  const CallerIdentity& caller = request.caller;
  std::shared_lock<std::shared_mutex> lock(slot_.lock);
  try {
    if (!slot_.usable()) return createErrorResponse("Motor YARA no inicializado");
    // The scan and the quarantine act on one open file: the descriptor the client passed, or the
    // file opened here once through its directory. The path names it in the answer and the logs.
    std::optional<platform::PinnedFile> pinned;
    std::optional<platform::FileStatus> passedStatus;
    ScanResult result;
    if (request.passedDescriptor >= 0) {
      const platform::Result<platform::FileHandle> passed =
          platform::FileHandle::duplicate(request.passedDescriptor);
      const platform::Result<platform::FileStatus> status =
          passed ? passed->status() : platform::Result<platform::FileStatus>(passed.failure());
      if (!status) return createErrorResponse("Descriptor no válido: " + status.message());
      if (!status->regular) return createErrorResponse("La ruta no es un archivo válido");
      passedStatus = *status;
      result = slot_.scanner->scanOpenFile(*passed, path, caller);
    } else {
      {
        platform::FsCredentialsGuard asCaller(caller);
        std::error_code error;
        const fs::file_status status = fs::status(path, error);
        if (!fs::exists(status)) return createErrorResponse("Archivo no existe: " + path);
        if (!fs::is_regular_file(status)) {
          return createErrorResponse("La ruta no es un archivo válido");
        }
        platform::Result<platform::PinnedFile> opened = platform::PinnedFile::open(path);
        if (opened) pinned = std::move(*opened);
      }
      // A file reached through a link as its last component is judged where the link points, as
      // before; the quarantine refuses such a path by itself.
      result = pinned ? slot_.scanner->scanOpenFile(pinned->content(), path, caller)
                      : slot_.scanner->scanFile(path, 0, "", caller, Scanner::CacheUse::Fresh);
    }
    statistics_.recordScan(path, caller);
    nlohmann::json response{{"command", "scan_realtime"}, {"quarantined", false}};
    switch (result.status) {
      case ScanStatus::INFECTED: {
        response["status"] = "threat";
        response["threat"] = result.threat;
        statistics_.recordThreat(path, result.threat, caller);
        const auto owner =
            ServiceEvents::instance().threatFound("scan_realtime", path, result.threat, caller);
        try {
          QuarantineManager store(quarantineDir_);
          std::string id;
          if (passedStatus) {
            // Only the file that was scanned may be moved: the path must still name it.
            std::optional<platform::PinnedFile> named;
            {
              platform::FsCredentialsGuard asCaller(caller);
              platform::Result<platform::PinnedFile> opened = platform::PinnedFile::open(path);
              if (opened && opened->fileStatus().sameFileAs(*passedStatus)) {
                named = std::move(*opened);
              }
            }
            if (named) {
              id = store.quarantinePinned(*named, path, result.threat, "YARA", caller);
            } else {
              EventLogger::instance().warning(
                  "Cuarentena omitida: " + std::string(QuarantineManager::kChangedDuringScan) +
                  ": " + path);
              response["quarantine_error"] = std::string(QuarantineManager::kChangedDuringScan);
            }
          } else if (pinned) {
            id = store.quarantinePinned(*pinned, path, result.threat, "YARA", caller);
          } else {
            id = store.quarantineFile(path, result.threat, "YARA", caller);
          }
          if (!id.empty()) {
            response["quarantined"] = true;
            response["quarantine_id"] = id;
            EventLogger::instance().logRealtimeThreat(path, result.threat, true);
            ServiceEvents::instance().fileQuarantined("scan_realtime", path, result.threat, id,
                                                      owner, caller);
          } else {
            if (!store.failureReason().empty()) {
              response["quarantine_error"] = store.failureReason();
            }
            EventLogger::instance().logRealtimeThreat(path, result.threat, false);
          }
        } catch (const std::exception& quarantineError) {
          response["quarantine_error"] = quarantineError.what();
          EventLogger::instance().logRealtimeThreat(path, result.threat, false);
          EventLogger::instance().error(std::string("Cuarentena fallida: ") +
                                        quarantineError.what());
        }
        // The watcher denies the start it holds on this answer.
        if (programStart && caller.isPrivileged()) {
          ServiceEvents::instance().programBlocked(path, result.threat, owner);
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
    return serializeResponse({{"status", "ok"},
                              {"is_malicious", false},
                              {"threat_name", ""},
                              {"engine", "unavailable"}});
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
