#include "ipc/PathScan.hpp"

#include <filesystem>
#include <memory>
#include <system_error>

#include "engine/Scanner.hpp"
#include "logging/ServiceEvents.hpp"
#include "platform/FsCredentialsGuard.hpp"

namespace norvid {

PathScan PathScan::run(Scanner& scanner, const std::string& path, const CallerIdentity& caller,
                       ScanRegistry* registry, const std::string& command) {
  namespace fs = std::filesystem;
  PathScan scan;
  platform::FsCredentialsGuard asCaller(caller);
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) return scan;
  if (fs::is_regular_file(status)) {
    scan.kind = Kind::File;
    scan.results.push_back(scanner.scanFile(path, 0, "", caller));
  } else if (fs::is_directory(status)) {
    scan.kind = Kind::Directory;
    std::unique_ptr<ScanRegistry::Tracked> tracked;
    if (registry != nullptr) tracked = registry->track(command, path, caller);
    if (tracked) scan.scanId = std::to_string(tracked->id());
    ScanProgress* progress = tracked ? &tracked->progress() : nullptr;
    scan.results = scanner.scanDirectory(path, true, caller, progress);
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
  std::int64_t threats = 0;
  for (const ScanResult& result : results) {
    if (result.status != ScanStatus::INFECTED) continue;
    ++threats;
    events.threatFound(command, kind == Kind::File ? path : result.path, result.threat, caller, id);
  }
  events.scanFinished(command, path, caller, id, static_cast<std::int64_t>(results.size()),
                      threats);
}

}  // namespace norvid
