#include "platform/ProcessInfo.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace norvid::platform {

std::optional<std::uint64_t> residentMemoryBytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t totalPages = 0;
  std::uint64_t residentPages = 0;
  if (!(statm >> totalPages >> residentPages)) return std::nullopt;
  long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pageSize <= 0) return std::nullopt;
  return residentPages * static_cast<std::uint64_t>(pageSize);
}

std::optional<int> threadCount() {
  std::error_code error;
  int count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  if (error) return std::nullopt;
  return count;
}

std::int32_t currentProcessId() { return static_cast<std::int32_t>(::getpid()); }

}  // namespace norvid::platform
