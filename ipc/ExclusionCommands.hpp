#pragma once

#include <string>

namespace norvid {

class ExclusionsManager;

// The commands add_exclusion, remove_exclusion and list_exclusions over the service's one
// exclusion list. Each handler returns the serialised response.
class ExclusionCommands {
 public:
  // `list` may be null (the list failed to come up): every handler then answers an error.
  explicit ExclusionCommands(ExclusionsManager* list) : list_(list) {}

  std::string handleAddExclusion(const std::string& path, const std::string& description);
  std::string handleRemoveExclusion(const std::string& path);
  std::string handleListExclusions();

 private:
  ExclusionsManager* list_;
};

}  // namespace norvid
