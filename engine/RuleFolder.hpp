#pragma once

#include <string>
#include <vector>

namespace norvid {

// A folder of rule files loaded after the main rules folder, in a YARA namespace of its own so
// that its rule names never clash with those of other folders.
struct RuleFolder {
  std::string directory;
  std::string nameSpace;
};

// The installed version of every rule feed: <data dir>/feeds/NAME/current, namespace NAME, sorted
// by name. Feeds without a current version are left out.
std::vector<RuleFolder> feedRuleFolders(const std::string& dataDirectory);

}  // namespace norvid
