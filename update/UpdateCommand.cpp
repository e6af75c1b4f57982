#include "update/UpdateCommand.hpp"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/FileLock.hpp"
#include "platform/Paths.hpp"
#include "update/FeedConfig.hpp"
#include "update/FeedStore.hpp"
#include "update/FeedUpdater.hpp"
#include "update/ServiceReloader.hpp"

namespace norvid::update {
namespace {

namespace fs = std::filesystem;

constexpr int kCurrent = 0;
constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

std::string timeText(std::int64_t seconds) {
  if (seconds == 0) return "never";
  const std::time_t time = static_cast<std::time_t>(seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&time));
  return text;
}

const FeedConfig* findFeed(const std::vector<FeedConfig>& feeds, const std::string& name) {
  auto found = std::find_if(feeds.begin(), feeds.end(),
                            [&](const FeedConfig& feed) { return feed.name == name; });
  return found == feeds.end() ? nullptr : &*found;
}

}  // namespace

UpdateCommand::UpdateCommand(Paths paths, std::ostream& out, std::ostream& err)
    : paths_(std::move(paths)), out_(out), err_(err) {}

UpdateCommand::Paths UpdateCommand::pathsFromEnvironment() {
  return {FeedConfig::defaultDirectory(), platform::dataDirectory(), platform::socketPath()};
}

int UpdateCommand::run(const UpdateOptions& options) {
  if (options.action == UpdateOptions::Action::Help) {
    out_ << UpdateOptions::usage() << "\n";
    return kCurrent;
  }
  auto configured = FeedConfig::readDirectory(paths_.feedsConfigDirectory);
  if (!configured) {
    err_ << "norvid-update: " << configured.message() << "\n";
    return kBadUsage;
  }
  const std::vector<FeedConfig>& feeds = *configured;
  for (const std::string& name : options.feeds) {
    if (findFeed(feeds, name) == nullptr) {
      err_ << "norvid-update: no feed \"" << name << "\" in " << paths_.feedsConfigDirectory
           << "\n";
      return kBadUsage;
    }
  }
  if (options.action == UpdateOptions::Action::Status) return status(options);

  const FeedConfig* named = nullptr;
  if (options.action == UpdateOptions::Action::Import ||
      options.action == UpdateOptions::Action::Rollback) {
    named = findFeed(feeds, options.name);
    if (named == nullptr) {
      err_ << "norvid-update: no feed \"" << options.name << "\" in " << paths_.feedsConfigDirectory
           << "\n";
      return kBadUsage;
    }
  }

  const std::string feedsDirectory = FeedStore::feedsDirectoryOf(paths_.dataDirectory);
  std::error_code error;
  fs::create_directories(feedsDirectory, error);
  if (error) {
    err_ << "norvid-update: cannot create " << feedsDirectory << ": " << error.message() << "\n";
    return kFailed;
  }
  const std::string lockPath = feedsDirectory + "/.lock";
  auto lock = platform::FileLock::acquire(lockPath, platform::FileLock::Wait::No);
  if (!lock) {
    out_ << "norvid-update: another run holds " << lockPath << "; waiting for it" << std::endl;
    lock = platform::FileLock::acquire(lockPath, platform::FileLock::Wait::Yes);
    if (!lock) {
      err_ << "norvid-update: " << lock.message() << "\n";
      return kFailed;
    }
  }

  FeedUpdater updater({feedsDirectory});
  bool changed = false;
  bool failed = false;
  auto report = [&](const std::string& name, const FeedUpdater::Outcome& outcome) {
    if (outcome.ok) {
      out_ << name << ": " << outcome.message << "\n";
    } else {
      err_ << "norvid-update: " << name
           << ": failed, the installed version stays: " << outcome.message << "\n";
    }
    changed = changed || outcome.changed;
    failed = failed || !outcome.ok;
  };

  if (named != nullptr) {
    FeedStore(feedsDirectory, named->name).removeLeftovers();
    report(named->name, options.action == UpdateOptions::Action::Import
                            ? updater.importBundle(*named, options.file)
                            : updater.rollback(named->name));
  } else {
    for (const FeedConfig& feed : feeds) {
      const bool asked =
          std::find(options.feeds.begin(), options.feeds.end(), feed.name) != options.feeds.end();
      if (options.feeds.empty() ? !feed.enabled : !asked) continue;
      FeedStore(feedsDirectory, feed.name).removeLeftovers();
      report(feed.name, updater.update(feed));
    }
  }
  if (changed) reloadService();
  return failed ? kFailed : kCurrent;
}

void UpdateCommand::reloadService() {
  const auto answer = ServiceReloader(paths_.socketPath).reload();
  if (answer.outcome == ServiceReloader::Outcome::Refused) {
    err_ << "norvid-update: " << answer.message << "\n";
  } else {
    out_ << answer.message << "\n";
  }
}

int UpdateCommand::status(const UpdateOptions& options) {
  auto configured = FeedConfig::readDirectory(paths_.feedsConfigDirectory);
  const std::string feedsDirectory = FeedStore::feedsDirectoryOf(paths_.dataDirectory);
  nlohmann::json all = nlohmann::json::array();
  for (const FeedConfig& feed : *configured) {
    if (!options.feeds.empty() &&
        std::find(options.feeds.begin(), options.feeds.end(), feed.name) == options.feeds.end()) {
      continue;
    }
    FeedStore store(feedsDirectory, feed.name);
    const FeedState state = store.readState();
    nlohmann::json entry = state.toJson();
    entry["name"] = feed.name;
    entry["kind"] = kindName(feed.kind);
    entry["enabled"] = feed.enabled;
    entry["configured_url"] = feed.url;
    entry["current"] = store.currentVersion().value_or("");
    entry["previous"] = store.previousVersion().value_or("");
    all.push_back(entry);
    if (options.json) continue;
    out_ << feed.name << " (" << kindName(feed.kind) << (feed.enabled ? "" : ", disabled") << ")\n";
    out_ << "  url:           " << feed.url << "\n";
    out_ << "  version:       "
         << (entry["current"].get<std::string>().empty()
                 ? std::string("none installed")
                 : entry["current"].get<std::string>() + " (" + timeText(state.installedAt) + ")")
         << "\n";
    out_ << "  rules:         " << state.rules << "\n";
    out_ << "  hashes:        " << state.hashes << "\n";
    out_ << "  set aside:     " << state.setAside.size() << "\n";
    for (const FileNote& note : state.setAside) {
      out_ << "    " << note.file << ": " << note.message << "\n";
    }
    out_ << "  warnings:      " << state.warnings.size() << "\n";
    out_ << "  last success:  " << timeText(state.lastSuccess) << "\n";
    out_ << "  last error:    " << (state.lastError.empty() ? "none" : state.lastError) << "\n";
  }
  if (options.json) out_ << all.dump(2) << "\n";
  return kCurrent;
}

}  // namespace norvid::update
