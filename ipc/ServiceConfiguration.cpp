#include "ipc/ServiceConfiguration.hpp"

#include <cstdlib>

#include "platform/Paths.hpp"
#include "platform/ServiceNotifier.hpp"

namespace norvid {
namespace {

constexpr long kMaxScanThreads = 1024;

// A positive whole number up to kMaxScanThreads; anything else leaves the default (0).
std::size_t scanThreadsFrom(const std::string& text) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() && *end == '\0' && value > 0 && value <= kMaxScanThreads) {
    return static_cast<std::size_t>(value);
  }
  return 0;
}

}  // namespace

ServiceConfiguration ServiceConfiguration::fromEnvironment() {
  ServiceConfiguration configuration;
  configuration.exeDir = platform::executableDirectory();
  configuration.dataDir = platform::dataDirectory();
  configuration.socketPath = platform::socketPath();
  configuration.sysfsRoot = platform::sysfsRoot();
  configuration.modprobeDir = platform::modprobeDirectory();
  configuration.allowDir = platform::environmentOr("NORVID_ALLOW_DIR", "/etc/norvid/allow.d");
  configuration.listeningSocket = platform::listeningSocketFromManager();
  configuration.administratorGroup =
      platform::environmentOr("NORVID_ADMIN_GROUP", platform::kDefaultAdministratorGroup);
  configuration.scanThreads = scanThreadsFrom(platform::environmentOr("NORVID_SCAN_THREADS", ""));
  return configuration;
}

}  // namespace norvid
