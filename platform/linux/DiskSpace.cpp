#include "platform/DiskSpace.hpp"

#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>

#include "platform/SystemError.hpp"

namespace norvid::platform {

std::uint64_t diskReserveFor(std::uint64_t capacity) {
  constexpr std::uint64_t kMaxReserve = 256ull * 1024 * 1024;
  return std::min(capacity / 20, kMaxReserve);
}

Result<> leavesDiskReserve(const std::string& directory, std::uint64_t bytes) {
  std::string probe = directory.empty() ? "." : directory;
  struct statvfs info {};
  // A directory that does not exist yet will be made on its nearest existing parent's file system.
  while (::statvfs(probe.c_str(), &info) != 0) {
    const int code = errno;
    const std::size_t cut = probe.find_last_of('/');
    if (code != ENOENT || cut == std::string::npos || probe == "/") {
      return Failure::ofErrno(code, "statvfs " + probe);
    }
    probe = cut == 0 ? "/" : probe.substr(0, cut);
  }
  const std::uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
  const std::uint64_t capacity = static_cast<std::uint64_t>(info.f_blocks) * unit;
  const std::uint64_t available = static_cast<std::uint64_t>(info.f_bavail) * unit;
  const std::uint64_t reserve = diskReserveFor(capacity);
  if (available >= reserve && available - reserve >= bytes) return {};
  return Failure{ENOSPC, std::to_string(bytes) + " bytes pedidos, " + std::to_string(available) +
                             " libres, reserva de " + std::to_string(reserve)};
}

}  // namespace norvid::platform
