// Reads the input as a feed's NAME.conf and as its state.json, as norvid-update does for every feed
// on every run. A configuration that parses names a valid feed with a usable url; a state that
// reads survives a round trip through its JSON unchanged.

#include <nlohmann/json.hpp>
#include <string>

#include "tests/fuzz/FuzzCheck.hpp"
#include "tests/fuzz/FuzzEntry.hpp"
#include "update/FeedConfig.hpp"
#include "update/FeedState.hpp"

namespace {

using norvid::fuzzing::require;
using norvid::update::FeedConfig;
using norvid::update::FeedState;

class FeedConfigHarness {
 public:
  void run(const std::string& bytes) {
    const norvid::platform::Result<FeedConfig> config =
        FeedConfig::parse("fuzzed", bytes, "fuzzed.conf");
    if (config) {
      require(FeedConfig::isValidName(config->name), "a parsed feed has a valid name");
      require(!config->url.empty(), "a parsed feed has a url");
      require(config->maxSize > 0, "a parsed feed has a positive size limit");
      require(!config->signatureLocation().empty(), "a parsed feed knows where its signature is");
    } else {
      require(!config.message().empty(), "a refused configuration says why");
    }

    const nlohmann::json document = nlohmann::json::parse(bytes, nullptr, false);
    if (document.is_discarded()) return;
    const FeedState state = FeedState::fromJson(document);
    const nlohmann::json written = state.toJson();
    require(FeedState::fromJson(written).toJson() == written, "a state survives a round trip");
  }
};

}  // namespace

NORVID_FUZZ_HARNESS(FeedConfigHarness)
