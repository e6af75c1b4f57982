#include "tests/update/MinisignKeys.hpp"

#include <fstream>
#include <stdexcept>

#include "tests/support/ArchiveFixtures.hpp"

namespace norvid::testing {

MinisignKeys::MinisignKeys(const std::string& directory, const std::string& name)
    : secretPath_(directory + "/" + name + ".key") {
  const std::string publicPath = directory + "/" + name + ".pub";
  ArchiveFixtures::run("minisign -G -W -f -p '" + publicPath + "' -s '" + secretPath_ +
                       "' >/dev/null");
  std::ifstream in(publicPath);
  std::string comment;
  std::getline(in, comment);
  std::getline(in, publicKey_);
  if (publicKey_.empty()) throw std::runtime_error("minisign wrote no public key");
}

void MinisignKeys::sign(const std::string& file, bool legacy, const std::string& signature,
                        const std::string& trustedComment) const {
  ArchiveFixtures::run(std::string("minisign -S ") + (legacy ? "-l " : "") + "-s '" + secretPath_ +
                       "' -t '" + trustedComment + "' -m '" + file + "'" +
                       (signature.empty() ? "" : " -x '" + signature + "'") + " >/dev/null");
}

}  // namespace norvid::testing
