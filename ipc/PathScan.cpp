#include "ipc/PathScan.hpp"

#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/FsCredentialsGuard.hpp"

namespace norvid {

PathScan PathScan::run(Scanner& scanner, const std::string& path, const CallerIdentity& caller,
                       ScanRegistry* registry, const std::string& command,
                       const Scanner::VerdictSink& sink, const std::atomic<bool>* hungUp) {
  namespace fs = std::filesystem;
  PathScan scan;
  platform::FsCredentialsGuard asCaller(caller);
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (!fs::exists(status)) return scan;
  if (fs::is_regular_file(status)) {
    scan.kind = Kind::File;
    sink(scanner.scanFile(path, 0, "", caller));
  } else if (fs::is_directory(status)) {
    scan.kind = Kind::Directory;
    std::unique_ptr<ScanRegistry::Tracked> tracked;
    if (registry != nullptr) tracked = registry->track(command, path, caller);
    ScanProgress* progress = tracked ? &tracked->progress() : nullptr;
    if (progress != nullptr) progress->stopWhen(hungUp);
    scanner.scanDirectory(path, true, caller, progress, sink);
    scan.cancelled = progress != nullptr && progress->cancelRequested();
  } else {
    scan.kind = Kind::Other;
  }
  return scan;
}

}  // namespace norvid
