#include "tests/support/DirectoryChain.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

namespace norvid::testing {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

[[noreturn]] void fail(const std::string& step) {
  throw std::system_error(errno, std::generic_category(), step);
}

// Owns one descriptor.
class Descriptor {
 public:
  explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
  ~Descriptor() {
    if (descriptor_ >= 0) ::close(descriptor_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return descriptor_; }
  void reset(int descriptor) {
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = descriptor;
  }

 private:
  int descriptor_;
};

}  // namespace

DirectoryChain::DirectoryChain(std::string root, int levels)
    : root_(std::move(root)), levels_(levels) {
  Descriptor current(::open(root_.c_str(), kDirectoryFlags));
  if (current.get() < 0) fail("open " + root_);
  for (int depth = 1; depth <= levels_; ++depth) {
    if (::mkdirat(current.get(), "d", 0755) != 0) fail("mkdir at depth " + std::to_string(depth));
    current.reset(::openat(current.get(), "d", kDirectoryFlags));
    if (current.get() < 0) fail("open at depth " + std::to_string(depth));
  }
}

DirectoryChain::~DirectoryChain() {
  // The chain is taken apart from the top: the level below the first is moved up beside it, the
  // first (now short of its subdirectory) is removed, and the moved one takes its name.
  Descriptor root(::open(root_.c_str(), kDirectoryFlags));
  if (root.get() < 0) return;
  const std::filesystem::path first = std::filesystem::path(root_) / "d";
  std::error_code ignored;
  for (;;) {
    if (::renameat(root.get(), "d/d", root.get(), "d.next") != 0) break;
    std::filesystem::remove_all(first, ignored);
    if (::renameat(root.get(), "d.next", root.get(), "d") != 0) return;
  }
  std::filesystem::remove_all(first, ignored);
}

std::string DirectoryChain::pathAt(int depth) const {
  std::string path = root_;
  for (int level = 0; level < depth; ++level) path += "/d";
  return path;
}

std::string DirectoryChain::write(int depth, const std::string& name,
                                  const std::string& content) const {
  Descriptor current(::open(root_.c_str(), kDirectoryFlags));
  if (current.get() < 0) fail("open " + root_);
  for (int level = 1; level <= depth; ++level) {
    current.reset(::openat(current.get(), "d", kDirectoryFlags));
    if (current.get() < 0) fail("open at depth " + std::to_string(level));
  }
  Descriptor file(
      ::openat(current.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (file.get() < 0) fail("create " + name);
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t count = ::write(file.get(), content.data() + written, content.size() - written);
    if (count < 0) fail("write " + name);
    written += static_cast<std::size_t>(count);
  }
  return pathAt(depth) + "/" + name;
}

}  // namespace norvid::testing
