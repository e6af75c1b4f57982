#include "ipc/ReportCommands.hpp"

#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "engine/EngineSlot.hpp"
#include "ipc/JsonResponse.hpp"
#include "ipc/PathScan.hpp"
#include "logging/EventLogger.hpp"
#include "logging/ServiceEvents.hpp"
#include "reports/ReportListing.hpp"
#include "reports/ScanReport.hpp"

namespace norvid {
namespace {

using nlohmann::json;

void record(ScanReport& report, const ScanResult& result) {
  if (result.status == ScanStatus::ERROR) {
    report.addError(result.path, result.threat);
  } else {
    report.addResult(result.path, scanStatusWord(result.status), result.threat);
  }
}

// Members read with their default when absent; empty when present with a type that does not fit
// (strings must be strings, numbers numbers, and the counts must fit 32 bits).
std::optional<std::string> textMember(const json& report, const char* name) {
  auto found = report.find(name);
  if (found == report.end()) return std::string();
  if (!found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

std::optional<double> realMember(const json& report, const char* name) {
  auto found = report.find(name);
  if (found == report.end()) return 0.0;
  if (!found->is_number()) return std::nullopt;
  return found->get<double>();
}

std::optional<std::int32_t> countMember(const json& report, const char* name) {
  auto found = report.find(name);
  if (found == report.end()) return 0;
  if (!found->is_number()) return std::nullopt;
  double value = found->get<double>();
  if (!(value >= std::numeric_limits<std::int32_t>::min() &&
        value <= std::numeric_limits<std::int32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

// The summary of one report file, or nothing when the file cannot be read, is not valid JSON,
// holds a member of the wrong type, or has a name that is not UTF-8 and so cannot go into a
// response (which would otherwise fail the whole listing).
std::optional<json> summarise(const std::string& path) {
  try {
    serializeResponse(json(path));
  } catch (const json::exception&) {
    return std::nullopt;
  }
  std::ifstream in(path);
  if (!in) return std::nullopt;
  json report = json::parse(in, nullptr, false);
  if (report.is_discarded() || !report.is_object()) return std::nullopt;

  auto duration = realMember(report, "duration_seconds");
  auto filesScanned = countMember(report, "files_scanned");
  auto threatsFound = countMember(report, "threats_found");
  auto scanId = textMember(report, "scan_id");
  auto scanType = textMember(report, "scan_type");
  auto startTime = textMember(report, "start_time");
  auto targetPath = textMember(report, "target_path");
  if (!duration || !filesScanned || !threatsFound || !scanId || !scanType || !startTime ||
      !targetPath) {
    return std::nullopt;
  }
  json element{
      {"duration", *duration},      {"files_scanned", *filesScanned}, {"path", path},
      {"scan_id", *scanId},         {"scan_type", *scanType},         {"start_time", *startTime},
      {"target_path", *targetPath}, {"threats_found", *threatsFound}};
  return element;
}

}  // namespace

ReportCommands::ReportCommands(EngineSlot& slot, std::string reportsDir, ScanRegistry* registry,
                               std::string administratorGroup)
    : slot_(slot),
      reportsDir_(std::move(reportsDir)),
      registry_(registry),
      administratorGroup_(std::move(administratorGroup)) {
  // Built at start, before any request: no report is being saved yet.
  ScanReport::removeInterruptedSaves(reportsDir_);
}

std::string ReportCommands::handleGenerateReport(const std::string& path,
                                                 const std::string& scanType,
                                                 const CallerIdentity& caller,
                                                 const std::atomic<bool>* hungUp) {
  return generate(path, scanType, caller, "generate_report", "", {}, nullptr, hungUp).response;
}

ReportCommands::Outcome ReportCommands::generateScheduledReport(const std::string& path,
                                                                const std::string& taskId,
                                                                std::stop_token stop,
                                                                ScanThreadPool* pool) {
  return generate(path, "scheduled", CallerIdentity::service(), "scheduled", taskId,
                  std::move(stop), pool, nullptr);
}

ReportCommands::Outcome ReportCommands::generate(const std::string& path,
                                                 const std::string& scanType,
                                                 const CallerIdentity& caller,
                                                 const std::string& command,
                                                 const std::string& taskId, std::stop_token stop,
                                                 ScanThreadPool* pool,
                                                 const std::atomic<bool>* hungUp) {
  std::shared_lock<std::shared_mutex> guard(slot_.lock);
  if (!slot_.usable()) return {createErrorResponse("Motor YARA no inicializado")};
  try {
    ScanReport report;
    report.begin(scanType, path);
    // The tree is read with the caller's identity; the reports are the service's own files.
    const PathScan scan = PathScan::run(
        *slot_.scanner, path, caller, registry_, command,
        [&report](const ScanResult& result) { record(report, result); }, hungUp, taskId,
        std::move(stop), pool);
    if (scan.kind == PathScan::Kind::Missing) {
      return {createErrorResponse("La ruta no existe: " + path)};
    }
    report.cancelled = scan.cancelled;
    report.finish(slot_.engine->getTotalRules());
    std::string jsonPath = report.saveReports(reportsDir_, administratorGroup_);

    EventLogger::instance().info("Reporte generado: " + jsonPath + " (" +
                                 std::to_string(report.files_scanned) + " archivos, " +
                                 std::to_string(report.threats_found) + " amenazas)");
    scan.announce(command, path, caller, report.scan_id);
    json response{{"command", "generate_report"},
                  {"duration", report.duration_seconds},
                  {"files_scanned", report.files_scanned},
                  {"report_html", jsonPath.substr(0, jsonPath.size() - 5) + ".html"},
                  {"report_json", jsonPath},
                  {"scan_id", report.scan_id},
                  {"status", "ok"},
                  {"threats_found", report.threats_found}};
    if (report.cancelled) response["cancelled"] = true;
    return {serializeResponse(response), report.cancelled};
  } catch (const std::exception& error) {
    std::string message = std::string("Error generando reporte: ") + error.what();
    EventLogger::instance().error(message);
    return {createErrorResponse(message)};
  }
}

std::string ReportCommands::handleListReports(std::int32_t maxCount) {
  try {
    std::vector<std::string> paths = listReports(reportsDir_, maxCount);
    json reports = json::array();
    for (const std::string& path : paths) {
      if (auto element = summarise(path)) reports.push_back(std::move(*element));
    }
    return serializeResponse(json{{"command", "list_reports"},
                                  {"count", paths.size()},
                                  {"reports", std::move(reports)},
                                  {"status", "ok"}});
  } catch (const std::exception& error) {
    return createErrorResponse(std::string("Error listando reportes: ") + error.what());
  }
}

}  // namespace norvid
