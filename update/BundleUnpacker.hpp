#pragma once

#include <string>
#include <vector>

#include "engine/ArchiveLimits.hpp"
#include "platform/SystemError.hpp"
#include "update/FeedConfig.hpp"

namespace norvid::update {

// Turns a downloaded bundle into the flat folder of content files the service loads: a single
// file is taken as it is; an archive is unpacked with the scanner's container code (its limits,
// safe member names, links and devices left out) and every content file found at any depth of
// its folders is moved up, its folder path folded into its name.
class BundleUnpacker {
 public:
  explicit BundleUnpacker(ArchiveLimits limits = limitsForFeeds());

  // The scanner's limits, with room for rule collections of many small files.
  static ArchiveLimits limitsForFeeds();

  // Whether `name` is a content file of `kind` (.yar/.yara, or .hdb/.hsb/.hashes).
  static bool isContentFile(FeedKind kind, const std::string& name);

  // Unpacks `bundle` (downloaded from a location whose last part is `bundleName`) into
  // `destination`, which must exist and be empty, and returns the content files' paths, sorted.
  // A bundle without any content file is a failure.
  platform::Result<std::vector<std::string>> unpack(const std::string& bundle,
                                                    const std::string& bundleName, FeedKind kind,
                                                    const std::string& destination) const;

 private:
  ArchiveLimits limits_;
};

}  // namespace norvid::update
