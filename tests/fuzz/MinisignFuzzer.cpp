// Checks a fixed small file against the input read as a minisign signature file, and reads the
// input's first line as a public key, as norvid-update does with what a mirror serves and what a
// feed configuration names. A fuzzed signature never verifies: it would need the secret key.

#include <string>

#include "tests/fuzz/FuzzCheck.hpp"
#include "tests/fuzz/FuzzEntry.hpp"
#include "tests/fuzz/FuzzWorkspace.hpp"
#include "update/MinisignVerifier.hpp"

namespace {

using norvid::fuzzing::FuzzWorkspace;
using norvid::fuzzing::require;
using norvid::update::MinisignPublicKey;
using norvid::update::MinisignVerifier;

// The public key of a throw-away minisign key pair whose secret key was discarded.
constexpr const char* kPublicKey = "RWQOGXFh5gYsEA2EpyYu8ODHg1EylK9jJDqTt1PVZpeHy0AjYz70CaX+";

class MinisignHarness {
 public:
  MinisignHarness() : workspace_("minisign") {
    bundle_ = workspace_.write("bundle.yar", "rule fuzz_bundle { condition: false }\n");
  }

  void run(const std::string& bytes) {
    const std::string firstLine = bytes.substr(0, bytes.find('\n'));
    const norvid::platform::Result<MinisignPublicKey> parsed =
        MinisignVerifier::parsePublicKey(firstLine);
    if (!parsed) require(!parsed.message().empty(), "a refused key says why");

    const norvid::platform::Result<MinisignPublicKey> key =
        MinisignVerifier::parsePublicKey(kPublicKey);
    require(key.ok(), "the harness's own key parses");
    const norvid::platform::Result<std::string> verified =
        MinisignVerifier(*key).verifyFile(bundle_, bytes);
    require(!verified, "a signature made without the secret key never verifies");
    require(!verified.message().empty(), "a refused signature says why");
  }

 private:
  FuzzWorkspace workspace_;
  std::string bundle_;
};

}  // namespace

NORVID_FUZZ_HARNESS(MinisignHarness)
