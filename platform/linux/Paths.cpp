#include "platform/Paths.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace norvid::platform {

std::string environmentOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? std::string(value) : std::string(fallback);
}

std::string executablePath() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string executableDirectory() { return parentOf(executablePath()); }

std::string dataDirectory() { return environmentOr("NORVID_DATA_DIR", "/var/lib/zr5k"); }

std::string socketPath() { return environmentOr("NORVID_SOCKET", "/run/NorvidCoreService.sock"); }

std::string sysfsRoot() { return environmentOr("NORVID_SYSFS_ROOT", "/sys"); }

std::string modprobeDirectory() { return environmentOr("NORVID_MODPROBE_DIR", "/etc/modprobe.d"); }

std::string temporaryDirectory() {
  std::error_code error;
  std::string directory = std::filesystem::temp_directory_path(error).string();
  if (error || directory.empty()) directory = "/tmp";
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

std::string parentOf(const std::string& path) {
  std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(0, cut);
}

}  // namespace norvid::platform
