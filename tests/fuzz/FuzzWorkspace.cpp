#include "tests/fuzz/FuzzWorkspace.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "platform/Paths.hpp"
#include "platform/RandomId.hpp"

namespace norvid::fuzzing {

namespace fs = std::filesystem;

FuzzWorkspace::FuzzWorkspace(const std::string& name)
    : path_(fs::path(platform::temporaryDirectory()) /
            ("norvid-fuzz-" + name + "-" + platform::generateRandomId().substr(0, 8))) {
  fs::create_directories(path_);
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::replace);
}

FuzzWorkspace::~FuzzWorkspace() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string FuzzWorkspace::write(const std::string& relative, std::string_view bytes) const {
  const fs::path target = path_ / relative;
  fs::create_directories(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + target.string());
  return target.string();
}

void FuzzWorkspace::remove(const std::string& relative) const {
  std::error_code ignored;
  fs::remove_all(path_ / relative, ignored);
}

std::string FuzzWorkspace::freshDirectory(const std::string& relative) const {
  remove(relative);
  fs::create_directories(path_ / relative);
  return pathOf(relative);
}

void FuzzWorkspace::redirectTemporaryDirectory() const {
  const std::string directory = freshDirectory("tmp");
  if (::setenv("TMPDIR", directory.c_str(), 1) != 0) {
    throw std::runtime_error("cannot set TMPDIR");
  }
}

std::string readWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace norvid::fuzzing
