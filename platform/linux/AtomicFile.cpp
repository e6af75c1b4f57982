#include "platform/AtomicFile.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/SystemError.hpp"

namespace norvid::platform {
namespace {

// The name of a temporary file beside `target`, before its random part.
std::string temporaryPrefix(const std::filesystem::path& target) {
  return "." + target.filename().string() + ".tmp-";
}

// mkstemp replaces the six X with six characters.
constexpr std::size_t kRandomPart = 6;

// Removes the files of `directory` whose names `isTemporary` takes.
template <typename Predicate>
void removeTemporaryFiles(const std::filesystem::path& directory, Predicate isTemporary) {
  std::error_code code;
  for (std::filesystem::directory_iterator it(directory, code), end; !code && it != end;
       it.increment(code)) {
    if (isTemporary(it->path().filename().string())) {
      std::error_code ignored;
      std::filesystem::remove(it->path(), ignored);
    }
  }
}

}  // namespace

Result<> writeFileAtomically(const std::string& path, const std::string& content,
                             std::filesystem::perms mode) {
  const std::filesystem::path target(path);
  std::string directory = target.parent_path().string();
  if (directory.empty()) directory = ".";
  std::string temporary = directory;
  temporary.append("/").append(temporaryPrefix(target)).append("XXXXXX");
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) return Failure::ofErrno(errno, "create " + temporary);

  auto abandon = [&](const std::string& step) {
    int code = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    return Failure::ofErrno(code, step);
  };

  if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) return abandon("chmod " + temporary);
  const char* data = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return abandon("write " + temporary);
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  if (::fsync(fd) != 0) return abandon("fsync " + temporary);
  if (::close(fd) != 0) {
    int code = errno;
    ::unlink(temporary.c_str());
    return Failure::ofErrno(code, "close " + temporary);
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    int code = errno;
    ::unlink(temporary.c_str());
    return Failure::ofErrno(code, "rename " + temporary);
  }
  // Make the rename itself durable.
  int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return {};
}

void removeAtomicWriteLeftovers(const std::string& path) {
  const std::filesystem::path target(path);
  const std::string prefix = temporaryPrefix(target);
  std::filesystem::path directory = target.parent_path();
  if (directory.empty()) directory = ".";
  removeTemporaryFiles(directory, [&prefix](const std::string& name) {
    return name.size() == prefix.size() + kRandomPart &&
           name.compare(0, prefix.size(), prefix) == 0;
  });
}

void removeAtomicWriteLeftoversIn(const std::string& directory) {
  static const std::string kMarker = ".tmp-";
  removeTemporaryFiles(directory, [](const std::string& name) {
    const std::size_t marker = name.size() - kRandomPart - kMarker.size();
    return name.size() > 1 + kMarker.size() + kRandomPart && name[0] == '.' &&
           name.compare(marker, kMarker.size(), kMarker) == 0;
  });
}

}  // namespace norvid::platform
