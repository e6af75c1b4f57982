#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/SystemError.hpp"

namespace norvid::update {

// What a feed delivers.
enum class FeedKind {
  Yara,    // YARA rule files (.yar, .yara)
  Hashes,  // hash lists (.hdb, .hsb, .hashes)
};

// One feed as its file NAME.conf in the feeds folder describes it: lines "key = value", "#"
// starting a comment.
struct FeedConfig {
  static constexpr std::uint64_t kDefaultMaxSize = 268'435'456;

  std::string name;
  std::string url;
  FeedKind kind = FeedKind::Yara;
  bool enabled = true;
  std::string minisignKey;
  std::string sha256;  // lower case
  std::string caFile;
  std::uint64_t maxSize = kDefaultMaxSize;
  std::string signatureUrl;
  bool insecure = false;

  // Where the bundle's minisign signature is fetched from: `signature_url`, or `url` + ".minisig".
  std::string signatureLocation() const;

  // [a-z0-9][a-z0-9._-]*, at most 64 characters.
  static bool isValidName(const std::string& name);

  // Parses the text of NAME.conf; `source` names it in messages ("path:line: ...").
  static platform::Result<FeedConfig> parse(const std::string& name, const std::string& text,
                                            const std::string& source);

  // Reads every NAME.conf of `directory`, sorted by name. A missing folder holds no feeds; a file
  // whose name or content is wrong fails the whole read, so no run works on half a configuration.
  static platform::Result<std::vector<FeedConfig>> readDirectory(const std::string& directory);

  // NORVID_FEEDS_DIR when set, otherwise /etc/norvid/feeds.d.
  static std::string defaultDirectory();
};

const char* kindName(FeedKind kind);

}  // namespace norvid::update
