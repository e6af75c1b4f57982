#include "platform/UserNames.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace norvid::platform {
namespace {

// Owners remembered at most; past this the memory starts afresh (owners are few in practice).
constexpr std::size_t kMaxRememberedOwners = 4096;

std::string lookUp(std::uint32_t uid) {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < 1024 * 1024) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error == 0 && found != nullptr && found->pw_name != nullptr && *found->pw_name != '\0') {
      return found->pw_name;
    }
    return std::to_string(uid);
  }
}

}  // namespace

std::string userNameOf(std::uint32_t uid) {
  static std::mutex mutex;
  static std::unordered_map<std::uint32_t, std::string> names;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto known = names.find(uid);
    if (known != names.end()) return known->second;
  }
  std::string name = lookUp(uid);
  std::lock_guard<std::mutex> lock(mutex);
  if (names.size() >= kMaxRememberedOwners) names.clear();
  names.emplace(uid, name);
  return name;
}

}  // namespace norvid::platform
