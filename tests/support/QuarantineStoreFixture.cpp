#include "tests/support/QuarantineStoreFixture.hpp"

#include <filesystem>

namespace norvid::testing {

QuarantineStoreFixture::QuarantineStoreFixture() {
  std::filesystem::create_directories(filesDir());
}

std::string QuarantineStoreFixture::writeFile(const std::string& name,
                                              const std::string& content) const {
  return root_.write("files/" + name, content);
}

std::string QuarantineStoreFixture::metadataText() const { return readFile(metadataPath()); }

nlohmann::json QuarantineStoreFixture::metadata() const {
  return nlohmann::json::parse(metadataText(), nullptr, false);
}

}  // namespace norvid::testing
