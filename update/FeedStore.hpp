#pragma once

#include <optional>
#include <string>

#include "platform/SystemError.hpp"
#include "update/FeedState.hpp"

namespace norvid::update {

// The folder <data dir>/feeds/NAME of one feed: one folder per installed version, `current` (a
// symbolic link to the active one), `previous`, and state.json. Links are replaced by renaming a
// new link over them, so a reader (or a crash) only ever sees the old or the new target.
// REQUIRES: the caller holds the updater's lock for every change.
class FeedStore {
 public:
  FeedStore(const std::string& feedsDirectory, const std::string& name);

  const std::string& root() const { return root_; }
  std::string currentPath() const { return root_ + "/current"; }

  // Version folder names the links point to; nothing when a link is absent or dangling.
  std::optional<std::string> currentVersion() const;
  std::optional<std::string> previousVersion() const;

  // A new empty staging folder (".staging-<id>") for a version being built.
  platform::Result<std::string> createStaging();
  // Renames a finished staging folder to a version folder named after `stamp` and returns its
  // name.
  platform::Result<std::string> promote(const std::string& staging, const std::string& stamp);
  // Points `previous` at the current version, then `current` at `version`, then removes every
  // other version folder.
  platform::Result<> activate(const std::string& version);
  // Swaps `current` and `previous`. Fails when there is no previous version.
  platform::Result<> rollback();
  // Removes staging folders and version folders no link names (left by a run that died).
  void removeLeftovers();

  // state.json; an absent or unreadable file gives the empty state.
  FeedState readState() const;
  platform::Result<> writeState(const FeedState& state) const;

  // <data dir>/feeds.
  static std::string feedsDirectoryOf(const std::string& dataDirectory);

 private:
  std::optional<std::string> linkTarget(const std::string& link) const;
  platform::Result<> pointLink(const std::string& link, const std::string& version);

  std::string root_;
};

}  // namespace norvid::update
