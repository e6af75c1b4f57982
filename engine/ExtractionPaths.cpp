#include "engine/ExtractionPaths.hpp"

#include <string>
#include <system_error>
#include <utility>

namespace norvid {
namespace fs = std::filesystem;

namespace {

// Longest element kept of a member name; file systems allow 255 bytes and "~N" may be added.
constexpr std::size_t kMaxElement = 200;

// The outermost component of `path` that does not exist yet; empty when all of it exists.
fs::path outermostMissing(const fs::path& path) {
  fs::path missing;
  for (fs::path current = path; !current.empty() && !ExtractionPaths::exists(current);
       current = current.parent_path()) {
    missing = current;
    if (current == current.parent_path()) break;
  }
  return missing;
}

}  // namespace

ExtractionPaths::~ExtractionPaths() {
  if (kept_) return;
  for (auto it = paths_.rbegin(); it != paths_.rend(); ++it) {
    std::error_code ignored;
    fs::remove_all(*it, ignored);
  }
}

void ExtractionPaths::add(fs::path path) {
  if (!path.empty()) paths_.push_back(std::move(path));
}

void ExtractionPaths::createDirectories(const fs::path& directory) {
  fs::path missing = outermostMissing(directory);
  fs::create_directories(directory);
  add(std::move(missing));
}

bool ExtractionPaths::exists(const fs::path& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

bool ExtractionPaths::liesInside(const fs::path& candidate, const fs::path& root) {
  const fs::path relative = candidate.lexically_relative(root);
  return !relative.empty() && relative != "." && *relative.begin() != "..";
}

fs::path ExtractionPaths::freeNameFor(const fs::path& target) {
  for (int suffix = 1;; ++suffix) {
    fs::path candidate = target;
    candidate += "~" + std::to_string(suffix);
    if (!exists(candidate)) return candidate;
  }
}

fs::path ExtractionPaths::safeRelativePath(const std::string& name) {
  fs::path relative;
  std::string element;
  auto flush = [&] {
    if (!element.empty() && element != "." && element != "..") {
      relative /= element.substr(0, kMaxElement);
    }
    element.clear();
  };
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/') {
      flush();
    } else {
      element += (byte < 0x20 || byte == 0x7F) ? '_' : c;
    }
  }
  flush();
  return relative;
}

}  // namespace norvid
