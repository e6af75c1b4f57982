#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/ArchiveFixtures.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/update/MinisignKeys.hpp"

namespace norvid::testing {

// A machine for norvid-update: a feeds folder, a data folder, a folder of bundles ("www", served
// by FeedServer or read through file://) and a minisign key; runs the real program from this
// build.
class UpdaterFixture : public ::testing::Test {
 protected:
  struct Run {
    int status = -1;
    std::string out;
    std::string err;
  };

  // Runs norvid-update with `arguments` (each quoted for the shell).
  Run update(const std::vector<std::string>& arguments = {}) const;
  // The same with a shell prefix (such as "timeout 2").
  Run updateWith(const std::string& prefix, const std::vector<std::string>& arguments) const;

  // Writes feeds.d/NAME.conf.
  void configure(const std::string& name, const std::string& text) const;

  // Writes www/NAME as a ZIP of the members and signs it (prehashed) unless told not to.
  std::string publish(const std::string& name, const std::vector<ArchiveMember>& members,
                      bool sign = true) const;

  std::string fileUrl(const std::string& name) const { return "file://" + www() + "/" + name; }
  std::string www() const { return dir.str() + "/www"; }
  std::string feedFolder(const std::string& name) const {
    return dir.str() + "/data/feeds/" + name;
  }
  // The current version's name ("" when none) and its files with their contents.
  std::string currentVersion(const std::string& name) const;
  std::string currentFiles(const std::string& name) const;
  nlohmann::json state(const std::string& name) const;

  static std::string rule(const std::string& name, const std::string& marker);

  TempDir dir;
  MinisignKeys keys{dir.str(), "feed"};
};

}  // namespace norvid::testing
