#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/FakeClock.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::testing {

// A temporary quarantine directory (not created: the store makes it) beside a folder of files to
// quarantine, and a fixed clock.
class QuarantineStoreFixture {
 public:
  QuarantineStoreFixture();

  std::string storeDir() const { return (root_.path() / "store").string(); }
  std::string filesDir() const { return (root_.path() / "files").string(); }
  std::string metadataPath() const { return storeDir() + "/metadata.json"; }

  // Writes a file below the files folder and returns its path.
  std::string writeFile(const std::string& name, const std::string& content) const;

  // metadata.json as written (empty when missing) and parsed (discarded when missing or invalid).
  std::string metadataText() const;
  nlohmann::json metadata() const;

  FakeClock clock{std::chrono::system_clock::time_point(std::chrono::seconds(1733489000))};

 private:
  TempDir root_;
};

}  // namespace norvid::testing
