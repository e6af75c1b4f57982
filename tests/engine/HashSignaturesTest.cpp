#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/HashSignatures.hpp"
#include "engine/Scanner.hpp"
#include "engine/YaraEngine.hpp"
#include "tests/support/ArchiveFixtures.hpp"
#include "tests/support/RuleFixtures.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using norvid::testing::ArchiveFixtures;
using norvid::testing::ArchiveFormat;
using norvid::testing::ArchiveMember;
using norvid::testing::RuleFixtures;
using norvid::testing::TempDir;
using Names = std::vector<std::string>;

std::string hexDigest(const EVP_MD* algorithm, const std::string& content, bool upper = false) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(content.data(), content.size(), digest, &length, algorithm, nullptr), 1);
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += digits[digest[i] >> 4];
    hex += digits[digest[i] & 15];
  }
  return hex;
}

std::string md5(const std::string& content) { return hexDigest(EVP_md5(), content); }
std::string sha1(const std::string& content) { return hexDigest(EVP_sha1(), content); }
std::string sha256(const std::string& content) { return hexDigest(EVP_sha256(), content); }

HashSignatures::Reader readerOf(const std::string& content, int* reads = nullptr) {
  return [&content, reads](std::uint64_t offset, unsigned char* buffer,
                           std::size_t size) -> std::int64_t {
    if (reads != nullptr) ++*reads;
    if (offset >= content.size()) return 0;
    const std::size_t count = std::min<std::size_t>(size, content.size() - offset);
    std::copy_n(content.data() + offset, count, buffer);
    return static_cast<std::int64_t>(count);
  };
}

class HashSignaturesTest : public ::testing::Test {
 protected:
  std::string list(const std::string& name, const std::string& text) {
    return temp.write("lists/" + name, text);
  }

  TempDir temp;
  HashSignatures signatures{64 * 1024 * 1024};
};

const std::string kAlpha = "alpha sample content";
const std::string kBeta = "beta sample, a little longer";
const std::string kGamma = "gamma";

TEST_F(HashSignaturesTest, ListLinesMatchByDigestAndSize) {
  const std::string alphaSize = std::to_string(kAlpha.size());
  const std::string betaSize = std::to_string(kBeta.size());
  const HashSignatures::ListLoad hdb = signatures.loadList(
      list("one.hdb", "# a comment\n\n" + md5(kAlpha) + ":" + alphaSize + ":Md5.Alpha\n" +
                          md5(kBeta) + ":" + std::to_string(kBeta.size() + 1) + ":Md5.WrongSize\n" +
                          hexDigest(EVP_md5(), kGamma, true) + ":*:Md5.AnyGamma:73:extra\r\n"));
  const HashSignatures::ListLoad hsb = signatures.loadList(list(
      "two.hsb", sha1(kBeta) + ":" + betaSize + ":Sha1.Beta\n" + sha256(kAlpha) + ":" + alphaSize +
                     ":Sha256.Alpha\n" + sha256(kAlpha) + ":" + alphaSize + ":Sha256.AlphaAgain\n" +
                     sha256(kAlpha) + ":" + alphaSize + ":Sha256.Alpha\n"));
  const HashSignatures::ListLoad bare =
      signatures.loadList(list("abuse-feed.list.hashes", "  " + sha256(kGamma) + "  \n"));
  signatures.finish();

  EXPECT_EQ(hdb.loaded, 3u);
  EXPECT_EQ(hsb.loaded, 4u);
  EXPECT_EQ(bare.loaded, 1u);
  // The repeated (hash, size, name) line is kept once.
  EXPECT_EQ(signatures.count(), 7u);
  struct Case {
    const char* name;
    const std::string& content;
    Names expected;
  };
  const std::vector<Case> cases = {
      {"md5 and two sha-256 names", kAlpha, {"Md5.Alpha", "Sha256.Alpha", "Sha256.AlphaAgain"}},
      {"sha-1; the md5 line names another size", kBeta, {"Sha1.Beta"}},
      {"any size, upper-case hex, bare hash", kGamma, {"Md5.AnyGamma", "Hash.abuse-feed.list"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool complete = true;
    EXPECT_EQ(signatures.match(c.content.size(), readerOf(c.content), &complete), c.expected);
    EXPECT_TRUE(complete);
  }
  const std::string other = "nothing listed";
  EXPECT_TRUE(signatures.match(other.size(), readerOf(other)).empty());
}

TEST_F(HashSignaturesTest, MalformedLinesAreCountedAndSkipped) {
  const std::string good = sha256(kAlpha) + ":" + std::to_string(kAlpha.size()) + ":Good\n";
  const std::vector<std::string> malformed = {
      "not-a-hash:12:Name",
      md5(kAlpha).substr(1) + ":12:ShortHash",
      md5(kAlpha) + "0:12:OddLength",
      md5(kAlpha) + ":12",
      md5(kAlpha) + "::EmptySize",
      md5(kAlpha) + ":-3:NegativeSize",
      md5(kAlpha) + ":12x:BadSize",
      md5(kAlpha) + ":12:",
      md5(kAlpha) + " " + "trailing words",
      "g" + md5(kAlpha).substr(1),
  };
  std::string text = good;
  for (const std::string& line : malformed) text += line + "\n";
  const HashSignatures::ListLoad load = signatures.loadList(list("mixed.hsb", text));
  signatures.finish();
  EXPECT_EQ(load.loaded, 1u);
  EXPECT_EQ(load.malformed, malformed.size());
  EXPECT_FALSE(load.unreadable);
  EXPECT_EQ(signatures.match(kAlpha.size(), readerOf(kAlpha)), Names{"Good"});

  const HashSignatures::ListLoad missing = signatures.loadList(temp.str() + "/none.hdb");
  EXPECT_TRUE(missing.unreadable);
}

TEST_F(HashSignaturesTest, OnlyNamedSizesAreReadAndEachFileOnce) {
  signatures.loadList(list("sized.hsb", md5(kAlpha) + ":" + std::to_string(kAlpha.size()) +
                                            ":Md5\n" + sha1(kAlpha) + ":" +
                                            std::to_string(kAlpha.size()) + ":Sha1\n" +
                                            sha256(kAlpha) + ":" + std::to_string(kAlpha.size()) +
                                            ":Sha256\n" + md5(kBeta) + ":999999999:TooLarge\n"));
  signatures.finish();
  int reads = 0;
  EXPECT_TRUE(signatures.match(kBeta.size(), readerOf(kBeta, &reads)).empty());
  EXPECT_EQ(reads, 0) << "a size no list names is never read";
  EXPECT_EQ(signatures.match(kAlpha.size(), readerOf(kAlpha, &reads)),
            (Names{"Md5", "Sha1", "Sha256"}));
  EXPECT_EQ(reads, 1) << "one read serves all three digests";
  bool complete = true;
  auto failing = [](std::uint64_t, unsigned char*, std::size_t) -> std::int64_t { return -1; };
  EXPECT_TRUE(signatures.match(kAlpha.size(), failing, &complete).empty());
  EXPECT_FALSE(complete);
}

TEST_F(HashSignaturesTest, AnySizeLookupsFindTheirDigestAmongNeighbours) {
  // `*` signatures are found through an index on a digest's first two bytes: digests that share
  // those bytes with a file's, and digests at either end of the index, must neither hide the
  // file's signatures nor match in their place.
  const std::string digest = sha256(kAlpha);
  const std::string prefix = digest.substr(0, 4);
  const std::string sameButLast = digest.substr(0, 63) + (digest.back() == '0' ? '1' : '0');
  std::string text;
  for (const std::string& line :
       {std::string(64, '0') + ":*:Lowest", std::string(64, 'f') + ":*:Highest",
        sameButLast + ":*:SamePrefix", prefix + std::string(60, '0') + ":*:SamePrefixLow",
        prefix + std::string(60, 'f') + ":*:SamePrefixHigh", digest + ":*:Any",
        digest + ":" + std::to_string(kAlpha.size()) + ":Sized", digest + ":*:AnyAgain"}) {
    text += line + "\n";
  }
  // Many other `*` digests, spread over the whole index.
  for (int i = 0; i < 3000; ++i) text += sha256("other " + std::to_string(i)) + ":*:Other\n";
  signatures.loadList(list("spread.hsb", text));
  signatures.finish();
  EXPECT_EQ(signatures.match(kAlpha.size(), readerOf(kAlpha)), (Names{"Any", "Sized", "AnyAgain"}));
  const std::string other = "other 1234";
  EXPECT_EQ(signatures.match(other.size(), readerOf(other)), Names{"Other"});
  EXPECT_TRUE(signatures.match(kBeta.size(), readerOf(kBeta)).empty());
}

// The engine loads the lists beside the rules and reports their signatures as matches; the
// scanner turns those into INFECTED verdicts, inside archives too.
class HashScanTest : public ::testing::Test {
 protected:
  HashScanTest() : rules(temp.path() / "rules") {
    rules.write("one.yar", RuleFixtures::ruleMatching("RuleOne", "rule-marker-one"));
  }

  void load() {
    ASSERT_TRUE(engine.initialize());
    ASSERT_TRUE(engine.loadRulesFromDirectory(rules.str()));
  }

  ScanResult scan(const std::string& path) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    ScanResult result = scanner.scanFile(path, 0, "");
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
    return result;
  }

  std::vector<std::string> trace() const {
    std::ifstream in(engine.tracePath());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  TempDir temp;
  RuleFixtures rules;
  YaraEngine engine{temp.str() + "/data"};
  Scanner scanner{&engine, true, false, nullptr, temp.str() + "/extract", nullptr};
};

TEST_F(HashScanTest, ListedFilesAreInfectedWithTheSignatureName) {
  const std::string evil = "evil payload bytes";
  const std::string sized = "sized payload";
  rules.write("feed.hdb", md5(evil) + ":" + std::to_string(evil.size()) + ":Trojan.Md5Listed\n" +
                              md5(sized) + ":" + std::to_string(sized.size() + 5) +
                              ":Wrong.Size\nbroken line\n");
  rules.write("bad.hashes", sha256(evil) + "\n" + sha256(evil + "+rule-marker-one") + "\n");
  load();

  EXPECT_EQ(engine.hashSignatureCount(), 4u);
  EXPECT_EQ(engine.getTotalRules(), 1) << "the rule count stays the rules'";
  const std::vector<std::string> lines = trace();
  auto has = [&](const std::string& wanted) {
    return std::find(lines.begin(), lines.end(), wanted) != lines.end();
  };
  EXPECT_TRUE(has("[YARA] Cargando hashes: " + rules.str() +
                  "/feed.hdb -> 2 firmas, 1 líneas mal formadas omitidas"));
  EXPECT_TRUE(has("[YARA] Cargando hashes: " + rules.str() +
                  "/bad.hashes -> 2 firmas, 0 líneas mal formadas omitidas"));
  EXPECT_TRUE(has("[YARA]   Firmas hash:     4"));
  EXPECT_EQ(lines.back(), "[YARA] EXITO");

  struct Case {
    const char* name;
    std::string path;
    ScanStatus status;
    std::string threat;
  };
  const std::vector<Case> cases = {
      {"bare sha-256 and md5, lists in name order", temp.write("s/evil.bin", evil),
       ScanStatus::INFECTED, "Hash.bad, Trojan.Md5Listed"},
      {"rule and hash together", temp.write("s/both.bin", evil + "+rule-marker-one"),
       ScanStatus::INFECTED, "RuleOne, Hash.bad"},
      {"listed hash with the wrong size", temp.write("s/sized.bin", sized), ScanStatus::CLEAN, ""},
      {"member of a zip",
       ArchiveFixtures::write(temp.str() + "/s/box.zip", ArchiveFormat::Zip,
                              {ArchiveMember::file("docs/evil.bin", evil)}),
       ScanStatus::INFECTED, "Contains: Hash.bad, Trojan.Md5Listed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScanResult result = scan(c.path);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.threat, c.threat);
  }
}

TEST_F(HashScanTest, ARuleFolderWithoutListsLoadsNoSignatures) {
  load();
  EXPECT_EQ(engine.hashSignatureCount(), 0u);
  const std::vector<std::string> lines = trace();
  EXPECT_TRUE(std::none_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("hash") != std::string::npos;
  }));
}

}  // namespace
}  // namespace norvid
