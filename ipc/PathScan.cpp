#include "ipc/PathScan.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>

#include "engine/Scanner.hpp"
#include "platform/FsCredentialsGuard.hpp"

namespace norvid {

PathScan PathScan::run(Scanner& scanner, const std::string& path, const CallerIdentity& caller,
                       ScanRegistry* registry, const std::string& command,
                       const std::string& taskId, std::stop_token stop, ScanThreadPool* pool) {
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
    if (registry != nullptr) tracked = registry->track(command, path, caller, taskId);
    ScanProgress untracked;
    ScanProgress* progress = tracked ? &tracked->progress() : nullptr;
    if (progress == nullptr && stop.stop_possible()) progress = &untracked;
    std::optional<std::stop_callback<std::function<void()>>> cancelOnStop;
    if (progress != nullptr) cancelOnStop.emplace(stop, [progress] { progress->requestCancel(); });
    scan.results = scanner.scanDirectory(path, true, caller, progress, pool);
    scan.cancelled = progress != nullptr && progress->cancelRequested();
  } else {
    scan.kind = Kind::Other;
  }
  return scan;
}

}  // namespace norvid
