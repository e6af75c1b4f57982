#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace norvid::update {

// A file of a bundle and what the compiler said about it.
struct FileNote {
  std::string file;
  std::string message;
};

// What the updater remembers of one feed, kept in <feed folder>/state.json.
struct FeedState {
  std::string url;
  std::string etag;
  std::string lastModified;
  std::string sha256;            // of the installed bundle
  std::string heldBack;          // a bundle rolled back by hand, not to be installed again
  std::string version;           // folder name of the installed version
  std::int64_t installedAt = 0;  // seconds since the epoch; 0 never
  std::int64_t rules = 0;
  std::int64_t hashes = 0;
  std::vector<FileNote> setAside;
  std::vector<FileNote> warnings;
  std::int64_t lastSuccess = 0;
  std::int64_t lastAttempt = 0;
  std::string lastError;  // empty after a success

  nlohmann::json toJson() const;
  // Members that are missing or of the wrong type keep their defaults.
  static FeedState fromJson(const nlohmann::json& document);
};

}  // namespace norvid::update
