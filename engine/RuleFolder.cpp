#include "engine/RuleFolder.hpp"

#include <algorithm>
#include <filesystem>

namespace norvid {

std::vector<RuleFolder> feedRuleFolders(const std::string& dataDirectory) {
  namespace fs = std::filesystem;
  std::vector<RuleFolder> folders;
  std::error_code error;
  for (fs::directory_iterator it(dataDirectory + "/feeds", error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    const std::string current = it->path().string() + "/current";
    std::error_code ignored;
    if (name.empty() || name[0] == '.' || !fs::is_directory(current, ignored)) continue;
    folders.push_back({current, name});
  }
  std::sort(folders.begin(), folders.end(),
            [](const RuleFolder& a, const RuleFolder& b) { return a.nameSpace < b.nameSpace; });
  return folders;
}

}  // namespace norvid
