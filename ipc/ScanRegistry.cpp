#include "ipc/ScanRegistry.hpp"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <vector>

#include "engine/FileCounter.hpp"
#include "ipc/JsonResponse.hpp"
#include "platform/AdministratorGroup.hpp"
#include "platform/FsCredentialsGuard.hpp"
#include "platform/LocalTime.hpp"

namespace norvid {
namespace {

using nlohmann::json;

double roundTo(double value, double step) { return std::round(value / step) * step; }

// A record of the list: what the scan did so far and, once the tree is counted, how far it got
// and how long the rest should take at the rate so far.
json describe(std::int64_t id, const std::string& command, const std::string& taskId,
              const std::string& path, const CallerIdentity& caller, std::time_t startedAt,
              double elapsed, const ScanProgress::Snapshot& now) {
  // The process id lets a client pick out the scan it asked for among its own.
  json record{{"scan_id", id},
              {"command", command},
              {"path", path},
              {"uid", caller.uid},
              {"pid", caller.pid},
              {"start_time", platform::formatLocalTime(startedAt, "%Y-%m-%d %H:%M:%S")},
              {"elapsed_seconds", roundTo(elapsed, 0.1)},
              {"files_scanned", now.filesScanned},
              {"threats_found", now.threatsFound},
              {"current_file", now.currentFile}};
  if (!taskId.empty()) record["task_id"] = taskId;
  if (now.cancelRequested) record["cancel_requested"] = true;
  if (!now.totalFiles) return record;
  const std::uint64_t total = std::max(*now.totalFiles, now.filesScanned);
  record["total_files"] = total;
  record["percent"] =
      total == 0 ? 100.0 : roundTo(100.0 * static_cast<double>(now.filesScanned) / total, 0.1);
  if (now.filesScanned > 0) {
    const double perFile = elapsed / static_cast<double>(now.filesScanned);
    record["seconds_left"] = static_cast<std::int64_t>(
        std::ceil(perFile * static_cast<double>(total - now.filesScanned)));
  }
  return record;
}

}  // namespace

ScanRegistry::Tracked::Tracked(ScanRegistry& registry, std::shared_ptr<Running> running)
    : registry_(registry), running_(std::move(running)) {
  // A thread inherits its creator's kernel identity, so it is created as the service and takes
  // the caller's identity itself.
  platform::FsCredentialsGuard service(CallerIdentity::service());
  counter_ = std::thread([running = running_] {
    try {
      platform::FsCredentialsGuard asCaller(running->caller);
      if (auto total = FileCounter::count(running->path, running->stopCounting)) {
        running->progress.setTotalFiles(*total);
      }
    } catch (const std::exception&) {
      // Without a total the scan is still listed, only without percentage and estimate.
    }
  });
}

ScanRegistry::Tracked::~Tracked() {
  running_->stopCounting.store(true);
  counter_.join();
  registry_.remove(running_->id);
}

ScanProgress& ScanRegistry::Tracked::progress() { return running_->progress; }

std::int64_t ScanRegistry::Tracked::id() const { return running_->id; }

std::unique_ptr<ScanRegistry::Tracked> ScanRegistry::track(const std::string& command,
                                                           const std::string& path,
                                                           const CallerIdentity& caller,
                                                           const std::string& taskId) {
  auto running = std::make_shared<Running>();
  running->command = command;
  running->taskId = taskId;
  running->path = path;
  running->caller = caller;
  running->startedAt = std::time(nullptr);
  running->startTick = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running->id = nextId_++;
    running_[running->id] = running;
  }
  const std::int64_t id = running->id;
  try {
    return std::make_unique<Tracked>(*this, std::move(running));
  } catch (...) {
    // No scan runs when the counting thread could not be started; it must not stay listed.
    remove(id);
    throw;
  }
}

void ScanRegistry::remove(std::int64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  running_.erase(id);
}

std::string ScanRegistry::handleListScans(const CallerIdentity& caller) const {
  std::vector<std::shared_ptr<Running>> visible;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [id, running] : running_) {
      if (caller.isPrivileged() || running->caller.uid == caller.uid) visible.push_back(running);
    }
  }
  const auto now = std::chrono::steady_clock::now();
  json scans = json::array();
  for (const auto& running : visible) {
    const double elapsed = std::chrono::duration<double>(now - running->startTick).count();
    scans.push_back(describe(running->id, running->command, running->taskId, running->path,
                             running->caller, running->startedAt, elapsed,
                             running->progress.snapshot()));
  }
  // Paths are whatever bytes the file system holds; a name that is not UTF-8 is shown with
  // replacement characters rather than failing the whole list.
  return json{{"command", "list_scans"}, {"scans", std::move(scans)}, {"status", "ok"}}.dump(
      -1, ' ', false, json::error_handler_t::replace);
}

std::string ScanRegistry::handleCancelScan(std::int32_t scanId, const CallerIdentity& caller) {
  std::shared_ptr<Running> target;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = running_.find(scanId);
    if (found != running_.end()) target = found->second;
  }
  // Another user's scan is answered like one that does not exist: it is not even listed to them.
  if (!target || (target->caller.uid != caller.uid &&
                  !platform::isAdministrator(caller, administratorGroup_))) {
    return createErrorResponse("No hay ningún escaneo en curso con el identificador " +
                               std::to_string(scanId));
  }
  target->progress.requestCancel();
  return serializeResponse(
      json{{"command", "cancel_scan"},
           {"message", "Cancelación solicitada: el escaneo " + std::to_string(scanId) +
                           " se detiene en el próximo archivo"},
           {"scan_id", scanId},
           {"status", "ok"}});
}

}  // namespace norvid
