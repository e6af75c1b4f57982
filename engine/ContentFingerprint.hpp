#pragma once

#include <string>
#include <vector>

#include "engine/RuleFolder.hpp"

namespace norvid {

// A SHA-256 over everything an engine's verdicts depend on besides the file judged: the name and
// bytes of every regular file in the folders the engine loads from (rule sources, precompiled
// sets, hash lists, allow-list files), the scanner's settings, and the identity of the running
// program. Two loads with the same digest judge every file alike, so verdicts kept under one
// digest may answer under the same digest only.
class ContentFingerprint {
 public:
  // Reads every regular file directly inside `folders` (missing folders are empty), in name order.
  // `settings` names whatever else the verdicts depend on.
  static ContentFingerprint of(std::vector<std::string> folders, const std::string& settings);

  // The folders an engine loads from: the rules folder, the feed folders after it and the allow
  // list's folder, for a scanner with these options.
  static ContentFingerprint ofEngineFolders(const std::string& rulesDir,
                                            const std::vector<RuleFolder>& feeds,
                                            const std::string& allowDir, bool scanArchives,
                                            bool heuristicsEnabled);

  // 64 hexadecimal digits; empty when a file could not be read, and then nothing may be kept.
  const std::string& digest() const { return digest_; }

  // True when every file of the folders still has the identity, size and times it had when it was
  // read, and none came or went: what an engine loaded meanwhile is what the digest describes.
  bool unchangedOnDisk() const;

 private:
  // One line per file: name, device, inode, size and times. Empty digest on any failure.
  static std::string listing(const std::vector<std::string>& folders, std::string* digest);

  std::vector<std::string> folders_;
  std::string listing_;
  std::string digest_;
};

}  // namespace norvid
