#include "ipc/PathScan.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>

#include "logging/ServiceEvents.hpp"
#include "platform/FsCredentialsGuard.hpp"

namespace norvid {

PathScan PathScan::run(Scanner& scanner, const std::string& path, const CallerIdentity& caller,
                       ScanRegistry* registry, const std::string& command,
                       const Scanner::VerdictSink& sink, const std::atomic<bool>* hungUp,
                       const std::string& taskId, std::stop_token stop, ScanThreadPool* pool) {
  namespace fs = std::filesystem;
  PathScan scan;
  // Every verdict passes through here on its way to the caller's sink, to be counted and, when
  // infected, remembered for the scan's events.
  const Scanner::VerdictSink counted = [&scan, &sink](const ScanResult& result) {
    ++scan.filesJudged;
    if (result.status == ScanStatus::INFECTED) scan.infected.push_back({result.path, result.threat});
    sink(result);
  };
  platform::FsCredentialsGuard asCaller(caller);
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) return scan;
  if (fs::is_regular_file(status)) {
    scan.kind = Kind::File;
    counted(scanner.scanFile(path, 0, "", caller));
  } else if (fs::is_directory(status)) {
    scan.kind = Kind::Directory;
    std::unique_ptr<ScanRegistry::Tracked> tracked;
    if (registry != nullptr) tracked = registry->track(command, path, caller, taskId);
    if (tracked) scan.scanId = std::to_string(tracked->id());
    ScanProgress untracked;
    ScanProgress* progress = tracked ? &tracked->progress() : nullptr;
    if (progress == nullptr && stop.stop_possible()) progress = &untracked;
    if (progress != nullptr) progress->stopWhen(hungUp);
    std::optional<std::stop_callback<std::function<void()>>> cancelOnStop;
    if (progress != nullptr) cancelOnStop.emplace(stop, [progress] { progress->requestCancel(); });
    scanner.scanDirectory(path, true, caller, progress, counted, pool);
    scan.cancelled = progress != nullptr && progress->cancelRequested();
  } else {
    scan.kind = Kind::Other;
  }
  return scan;
}

void PathScan::announce(const std::string& command, const std::string& path,
                        const CallerIdentity& caller, const std::string& scanId) const {
  if (kind != Kind::File && kind != Kind::Directory) return;
  ServiceEvents& events = ServiceEvents::instance();
  const std::string& id = scanId.empty() ? this->scanId : scanId;
  for (const Threat& threat : infected) {
    events.threatFound(command, kind == Kind::File ? path : threat.path, threat.name, caller, id);
  }
  events.scanFinished(command, path, caller, id, filesJudged,
                      static_cast<std::int64_t>(infected.size()));
}

}  // namespace norvid
