#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/TempDir.hpp"
#include "tests/update/MinisignKeys.hpp"
#include "update/MinisignVerifier.hpp"

namespace norvid::update {
namespace {

class MinisignVerifierTest : public ::testing::Test {
 protected:
  platform::Result<std::string> verify(const testing::MinisignKeys& keys,
                                       const std::string& signature) const {
    auto key = MinisignVerifier::parsePublicKey(keys.publicKey());
    EXPECT_TRUE(key) << key.message();
    return MinisignVerifier(*key).verifyFile(bundle, signature);
  }
  std::string signature() const { return testing::readFile(bundle + ".minisig"); }
  void expectRefused(const platform::Result<std::string>& result, const std::string& text) {
    ASSERT_FALSE(result);
    EXPECT_NE(result.message().find(text), std::string::npos) << result.message();
  }

  testing::TempDir dir;
  testing::MinisignKeys keys{dir.str(), "feed"};
  std::string bundle = dir.write("bundle.zip", "rule bundle bytes\n");
};

TEST_F(MinisignVerifierTest, AcceptsBothAlgorithmsAndGivesTheTrustedComment) {
  for (bool legacy : {false, true}) {
    keys.sign(bundle, legacy);
    auto result = verify(keys, signature());
    ASSERT_TRUE(result) << (legacy ? "Ed: " : "ED: ") << result.message();
    EXPECT_EQ(*result, "norvid test bundle");
  }
}

TEST_F(MinisignVerifierTest, RefusesATamperedBundle) {
  for (bool legacy : {false, true}) {
    keys.sign(bundle, legacy);
    std::ofstream(bundle, std::ios::app) << "x";
    expectRefused(verify(keys, signature()), "does not match the bundle");
  }
}

TEST_F(MinisignVerifierTest, RefusesAnotherKey) {
  testing::MinisignKeys other(dir.str(), "other");
  other.sign(bundle);
  expectRefused(verify(keys, signature()), "key id differs");
  // Another key's signature with bytes of the right key id spliced in still fails.
  std::string forged = signature();
  keys.sign(bundle);
  const std::string genuine = signature();
  forged.replace(forged.find('\n') + 1 + 4, 8, genuine.substr(genuine.find('\n') + 1 + 4, 8));
  expectRefused(verify(keys, forged), "signature:");
}

TEST_F(MinisignVerifierTest, RefusesAnAlteredTrustedComment) {
  keys.sign(bundle);
  std::string text = signature();
  text.replace(text.find("norvid test bundle"), 6, "NORVID");
  expectRefused(verify(keys, text), "trusted comment's signature does not match");
}

TEST_F(MinisignVerifierTest, RefusesMalformedSignatureFiles) {
  keys.sign(bundle);
  const std::string good = signature();
  const std::string cases[] = {
      "",
      "garbage\n",
      good.substr(0, good.find("trusted comment:")),
      good.substr(0, good.rfind('\n', good.size() - 2) + 1),
  };
  for (const std::string& text : cases) {
    EXPECT_FALSE(verify(keys, text)) << text;
  }
}

TEST_F(MinisignVerifierTest, ParsesOnlyMinisignKeys) {
  EXPECT_TRUE(MinisignVerifier::parsePublicKey(keys.publicKey()));
  EXPECT_FALSE(MinisignVerifier::parsePublicKey(""));
  EXPECT_FALSE(MinisignVerifier::parsePublicKey("RW" + keys.publicKey()));
  EXPECT_FALSE(MinisignVerifier::parsePublicKey("not base64 at all!!"));
}

}  // namespace
}  // namespace norvid::update
