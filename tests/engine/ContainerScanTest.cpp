#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/Scanner.hpp"
#include "engine/YaraEngine.hpp"
#include "tests/support/ArchiveFixtures.hpp"
#include "tests/support/RuleFixtures.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveFixtures;
using testing::ArchiveFormat;
using testing::ArchiveMember;
using testing::MailAttachment;
using testing::MailEncoding;
using testing::RuleFixtures;
using testing::TempDir;

const std::string kMarker = "norvid-container-marker";

// Containers are scanned by the scanner as the service does, extracting into a private folder so
// that every extraction directory left behind is seen. The rule matches the marker
// only at the start of a file: a member holding it matches, the container around it (which starts
// with its own header) does not, whether or not the container compresses it.
class ContainerScanTest : public ::testing::Test {
 protected:
  ContainerScanTest() : rules_(temp_.path() / "rules"), engine_((temp_.path() / "data").string()) {
    rules_.write("marker.yar", "rule R1\n{\n  strings:\n    $m = \"" + kMarker +
                                   "\"\n  condition:\n    $m at 0\n}\n");
    EXPECT_TRUE(engine_.initialize());
    EXPECT_TRUE(engine_.loadRulesFromDirectory(rules_.str()));
    fs::create_directories(scratch_);
  }

  struct Scan {
    ScanResult result;
    std::string out;
    std::string err;
  };

  Scan scan(const std::string& path) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    ScanResult result = scanner_.scanFile(path, 0, "");
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fs::is_empty(scratch_)) << "extraction directory left behind";
    return {std::move(result), std::move(out), std::move(err)};
  }

  std::string directoryFor(const std::string& name) {
    const fs::path directory = temp_.path() / "samples" / name;
    fs::create_directories(directory);
    return directory.string();
  }

  TempDir temp_;
  RuleFixtures rules_;
  fs::path scratch_ = temp_.path() / "tmp";
  YaraEngine engine_{temp_.str()};
  Scanner scanner_{&engine_, true, false, nullptr, scratch_.string()};
};

TEST_F(ContainerScanTest, EveryContainerKindIsOpenedAndItsMembersScanned) {
  const ArchiveMember evil = ArchiveMember::file("evil.txt", kMarker + " payload");
  const ArchiveMember harmless = ArchiveMember::file("readme.txt", "harmless text");
  for (const std::string& kind : ArchiveFixtures::sampleKinds()) {
    SCOPED_TRACE(kind);
    const std::string infected =
        ArchiveFixtures::sample(kind, {evil, harmless}, directoryFor(kind + "-infected"));
    Scan found = scan(infected);
    EXPECT_EQ(found.result.status, ScanStatus::INFECTED);
    EXPECT_EQ(found.result.threat, "Contains: R1");
    EXPECT_NE(
        found.out.find("[INFO] Archivo comprimido detectado: " + infected + " (profundidad 0)"),
        std::string::npos)
        << found.out;
    EXPECT_NE(found.out.find("[INFO] Extraídos "), std::string::npos) << found.out;

    const std::string clean =
        ArchiveFixtures::sample(kind, {harmless}, directoryFor(kind + "-clean"));
    Scan quiet = scan(clean);
    EXPECT_EQ(quiet.result.status, ScanStatus::CLEAN);
    EXPECT_EQ(quiet.result.threat, "");
    EXPECT_NE(quiet.out.find("[INFO] Extraídos "), std::string::npos) << quiet.out;
  }
}

// A zip in an e-mail in a tar.xz: the payload is three containers deep and found; wrapped in one
// more zip it lies beyond the nesting bound.
TEST_F(ContainerScanTest, ContainersNestInEachOtherUpToTheDepthBound) {
  const std::string zip =
      ArchiveFixtures::build(ArchiveFormat::Zip, {ArchiveMember::file("evil.txt", kMarker)});
  auto mailAround = [](const std::string& name, const std::string& attachment) {
    return ArchiveFixtures::mail({{ArchiveMember::file(name, attachment), MailEncoding::Base64}});
  };
  const std::string three = ArchiveFixtures::sample(
      "tar.xz", {ArchiveMember::file("message.eml", mailAround("payload.zip", zip))},
      directoryFor("three"));
  Scan found = scan(three);
  EXPECT_EQ(found.result.status, ScanStatus::INFECTED);
  EXPECT_EQ(found.result.threat, "Contains: Contains: Contains: R1");

  const std::string outerZip =
      ArchiveFixtures::build(ArchiveFormat::Zip, {ArchiveMember::file("payload.zip", zip)});
  const std::string four = ArchiveFixtures::sample(
      "tar.xz", {ArchiveMember::file("message.eml", mailAround("outer.zip", outerZip))},
      directoryFor("four"));
  Scan missed = scan(four);
  EXPECT_EQ(missed.result.status, ScanStatus::CLEAN);
  EXPECT_NE(missed.out.find("(profundidad 2)"), std::string::npos) << missed.out;
  EXPECT_EQ(missed.out.find("(profundidad 3)"), std::string::npos) << missed.out;
}

// Every level of a nested archive stays under the ratio limit, but together they unpack more than
// a hundred times the outer file: the budget of the top-level file stops them, and the whole file
// gets the bomb verdict even though the payload lies after the nested archive.
TEST_F(ContainerScanTest, NestedArchivesShareOneBudgetPerTopLevelFile) {
  const std::string stored = ArchiveFixtures::build(
      ArchiveFormat::StoredZip, {ArchiveMember::file("zeros.bin", std::string(40000, '\0'))});
  const std::string outer = ArchiveFixtures::write(
      (temp_.path() / "samples" / "nested.zip").string(), ArchiveFormat::Zip,
      {ArchiveMember::file("inner.zip", stored), ArchiveMember::file("evil.txt", kMarker)});
  const auto outerSize = fs::file_size(outer);
  ASSERT_LT(stored.size(), 100 * outerSize) << "the outer level alone would be a bomb";
  ASSERT_GT(stored.size() + 40000, 100 * outerSize) << "the levels together stay in the budget";

  Scan scanned = scan(outer);
  EXPECT_EQ(scanned.result.status, ScanStatus::SKIPPED);
  EXPECT_EQ(scanned.result.threat, "Zip bomb detected");
  EXPECT_NE(scanned.err.find("[WARN] Zip bomb detectado: Extraction budget exhausted"),
            std::string::npos)
      << scanned.err;

  // Each level on its own is within the limits, and a fresh scan of the inner archive as a
  // top-level file is clean.
  const std::string inner = temp_.write("samples/inner.zip", stored);
  EXPECT_EQ(scan(inner).result.status, ScanStatus::CLEAN);
}

TEST_F(ContainerScanTest, DamagedContainerIsJudgedAsAnOrdinaryFile) {
  const std::string path = temp_.write(
      "samples/broken.doc", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + kMarker);
  Scan scanned = scan(path);
  EXPECT_EQ(scanned.result.status, ScanStatus::CLEAN);
  EXPECT_NE(scanned.err.find("[WARN] Error al procesar archivo comprimido: "), std::string::npos)
      << scanned.err;
}

}  // namespace
}  // namespace norvid
