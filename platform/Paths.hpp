#pragma once

#include <string>

namespace norvid::platform {

// Full path of the running executable, symlinks resolved; empty when it cannot be read.
std::string executablePath();

// Directory of the running executable, without a trailing separator.
std::string executableDirectory();

// The value of the environment variable `name`, or `fallback` when it is unset or empty.
std::string environmentOr(const char* name, const char* fallback);

// The service's data directory: NORVID_DATA_DIR when set, otherwise /var/lib/zr5k.
std::string dataDirectory();

// The socket the service listens on: NORVID_SOCKET when set, otherwise /run/NorvidCoreService.sock.
std::string socketPath();

// The system temporary directory (TMPDIR honoured), without a trailing separator.
std::string temporaryDirectory();

// Cuts a path at its last '/' or '\' (separator removed); a path without one is returned whole.
std::string parentOf(const std::string& path);

}  // namespace norvid::platform

namespace norvid::platform {

// Root of the sysfs tree: NORVID_SYSFS_ROOT when set, otherwise /sys.
std::string sysfsRoot();

// The modprobe configuration directory: NORVID_MODPROBE_DIR when set, otherwise /etc/modprobe.d.
std::string modprobeDirectory();

}  // namespace norvid::platform
