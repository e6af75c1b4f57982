#include "update/FeedStore.hpp"

#include <filesystem>

#include "platform/AtomicFile.hpp"
#include "platform/JsonFileStore.hpp"
#include "platform/RandomId.hpp"

namespace norvid::update {
namespace {

namespace fs = std::filesystem;
using platform::Failure;
using platform::Result;

constexpr const char* kStagingPrefix = ".staging-";
constexpr const char* kLinkPrefix = ".link-";

Failure failureOf(const std::error_code& error, const std::string& step) {
  return Failure{error.value(), step + ": " + error.message()};
}

constexpr fs::perms kStateMode =
    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;

}  // namespace

FeedStore::FeedStore(const std::string& feedsDirectory, const std::string& name)
    : root_(feedsDirectory + "/" + name) {}

std::string FeedStore::feedsDirectoryOf(const std::string& dataDirectory) {
  return dataDirectory + "/feeds";
}

std::optional<std::string> FeedStore::linkTarget(const std::string& link) const {
  std::error_code error;
  const fs::path target = fs::read_symlink(root_ + "/" + link, error);
  if (error || target.empty() || target.has_parent_path()) return std::nullopt;
  if (!fs::is_directory(root_ + "/" + target.string(), error)) return std::nullopt;
  return target.string();
}

std::optional<std::string> FeedStore::currentVersion() const { return linkTarget("current"); }
std::optional<std::string> FeedStore::previousVersion() const { return linkTarget("previous"); }

Result<std::string> FeedStore::createStaging() {
  std::error_code error;
  fs::create_directories(root_, error);
  if (error) return failureOf(error, "create " + root_);
  const std::string staging = root_ + "/" + kStagingPrefix + platform::generateRandomId();
  if (!fs::create_directory(staging, error)) {
    return failureOf(error ? error : std::make_error_code(std::errc::file_exists),
                     "create " + staging);
  }
  return staging;
}

Result<std::string> FeedStore::promote(const std::string& staging, const std::string& stamp) {
  std::error_code error;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string name = "v" + stamp + (attempt == 0 ? "" : "-" + std::to_string(attempt));
    if (fs::exists(fs::symlink_status(root_ + "/" + name, error))) continue;
    fs::rename(staging, root_ + "/" + name, error);
    if (error) return failureOf(error, "rename " + staging);
    return name;
  }
  return Failure{0, "no free version folder name for " + stamp};
}

// A new link is made under a temporary name and renamed over the old one, which replaces it in
// one step.
Result<> FeedStore::pointLink(const std::string& link, const std::string& version) {
  const std::string temporary = root_ + "/" + kLinkPrefix + platform::generateRandomId();
  std::error_code error;
  fs::create_directory_symlink(version, temporary, error);
  if (error) return failureOf(error, "link " + temporary);
  fs::rename(temporary, root_ + "/" + link, error);
  if (error) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return failureOf(error, "replace " + root_ + "/" + link);
  }
  return {};
}

Result<> FeedStore::activate(const std::string& version) {
  const auto current = currentVersion();
  if (current && *current != version) {
    if (auto linked = pointLink("previous", *current); !linked) return linked;
  }
  if (auto linked = pointLink("current", version); !linked) return linked;
  removeLeftovers();
  return {};
}

Result<> FeedStore::rollback() {
  const auto previous = previousVersion();
  if (!previous) return Failure{0, "no previous version to go back to"};
  const auto current = currentVersion();
  if (auto linked = pointLink("current", *previous); !linked) return linked;
  if (current) return pointLink("previous", *current);
  return {};
}

void FeedStore::removeLeftovers() {
  const auto current = currentVersion();
  const auto previous = previousVersion();
  std::error_code error;
  std::vector<fs::path> doomed;
  for (fs::directory_iterator it(root_, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    const bool staging = name.rfind(kStagingPrefix, 0) == 0 || name.rfind(kLinkPrefix, 0) == 0;
    const bool version = name.size() > 1 && name[0] == 'v' && name != current && name != previous &&
                         !it->is_symlink();
    if (staging || version) doomed.push_back(it->path());
  }
  for (const fs::path& path : doomed) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  platform::removeAtomicWriteLeftovers(root_ + "/state.json");
}

FeedState FeedStore::readState() const {
  platform::JsonFileStore store(root_ + "/state.json", kStateMode);
  auto reading = store.read();
  if (reading.outcome != platform::JsonFileStore::Outcome::Read) return {};
  return FeedState::fromJson(reading.document);
}

Result<> FeedStore::writeState(const FeedState& state) const {
  std::error_code error;
  fs::create_directories(root_, error);
  if (error) return failureOf(error, "create " + root_);
  platform::JsonFileStore store(root_ + "/state.json", kStateMode);
  std::string problem;
  if (!store.save(state.toJson(), &problem)) return Failure{0, problem};
  return {};
}

}  // namespace norvid::update
