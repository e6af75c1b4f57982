#pragma once

#include <string>

#include "platform/Clock.hpp"
#include "update/FeedConfig.hpp"
#include "update/FeedState.hpp"

namespace norvid::update {

// Brings one feed up to date: fetch (conditional), size limit, SHA-256 pin, minisign signature,
// unpack, compile, install. Any failed step leaves the installed version exactly as it was and
// records the error in state.json. REQUIRES: the caller holds the updater's lock.
class FeedUpdater {
 public:
  struct Settings {
    std::string feedsDirectory;  // <data dir>/feeds
    long connectTimeoutSeconds = 30;
    long totalTimeoutSeconds = 900;
  };
  struct Outcome {
    bool ok = false;
    bool changed = false;  // a new version is current: the service should reload
    std::string message;
  };

  explicit FeedUpdater(Settings settings,
                       const platform::Clock& clock = platform::SystemClock::instance());

  Outcome update(const FeedConfig& feed) const;
  // Installs an offline bundle, checked as a downloaded one is (FILE.minisig beside it when the
  // feed has a key).
  Outcome importBundle(const FeedConfig& feed, const std::string& file) const;
  // `previous` becomes `current` and the other way round.
  Outcome rollback(const std::string& name) const;

 private:
  struct Bundle;
  Outcome install(const FeedConfig& feed, FeedState& state, const Bundle& bundle) const;
  Outcome fail(const FeedConfig& feed, FeedState& state, const std::string& message) const;
  std::int64_t now() const;

  Settings settings_;
  const platform::Clock& clock_;
};

}  // namespace norvid::update
