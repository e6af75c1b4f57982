#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "engine/PeAnalyzer.hpp"
#include "tests/support/PeImageBuilder.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

using testing::PeImageBuilder;
using Profile = std::vector<std::pair<int, std::uint64_t>>;

constexpr std::uint32_t kCode = PeImageBuilder::kRead | PeImageBuilder::kExecute;
constexpr std::uint32_t kData = PeImageBuilder::kRead | PeImageBuilder::kWrite;
constexpr std::uint32_t kWritableCode = kCode | PeImageBuilder::kWrite;

// Whole-file byte profiles of known entropy.
const Profile kEntropy8 = {{256, 8192}};
const Profile kEntropy7_5 = {{64, 16384}, {128, 8192}};
const Profile kEntropy7 = {{128, 8192}};
const Profile kEntropy6 = {{64, 8192}};

std::string plainData(char fill) { return std::string(0x200, fill); }

// Three sections that raise nothing by themselves.
PeImageBuilder ordinaryImage() {
  PeImageBuilder builder;
  builder.section(".text", kCode, plainData('c'))
      .section(".rdata", PeImageBuilder::kRead, plainData('r'))
      .section(".data", kData, plainData('d'));
  return builder;
}

// A section whose virtual size differs from its raw data's size.
PeImageBuilder::Section sizedSection(const char* name, std::uint32_t virtualSize) {
  PeImageBuilder::Section section{name, kData, std::string(0x1000, '\xAA'), {}, {}, {}};
  section.virtualSize = virtualSize;
  return section;
}

// Keeps the file's entropy far below every threshold.
std::string withZeros(std::string image) { return image + std::string(1 << 16, '\0'); }

PeAnalysisResult analyzeBytes(const std::string& bytes) {
  testing::TempDir dir;
  return PeAnalyzer().analyze(dir.write("sample.exe", bytes));
}

struct ScoringCase {
  const char* name;
  std::function<std::string()> image;
  std::int32_t score;
  std::int32_t riskLevel;
  std::string packer;
  std::vector<std::string> indicators;
};

class PeScoringTest : public ::testing::TestWithParam<ScoringCase> {};

TEST_P(PeScoringTest, ScoresTheImage) {
  const ScoringCase& c = GetParam();
  const PeAnalysisResult result = analyzeBytes(c.image());
  EXPECT_TRUE(result.isPE);
  EXPECT_EQ(result.score, c.score);
  EXPECT_EQ(result.riskLevel, c.riskLevel);
  EXPECT_EQ(result.packer, c.packer);
  EXPECT_EQ(result.indicators, c.indicators);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PeScoringTest,
    ::testing::Values(
        ScoringCase{
            "UpxSectionInHighEntropyFile",
            [] {
              PeImageBuilder builder;
              builder.section("UPX0", kWritableCode, PeImageBuilder::bytesWithProfile({{256, 16}}));
              return PeImageBuilder::padToProfile(builder.build(), kEntropy8);
            },
            70,
            4,
            "UPX",
            {"Very high entropy (possible encryption/packing)", "Packed with: UPX",
             "Writable+Executable sections: 1", "Unusually few sections"}},
        ScoringCase{"OrdinarySectionsAtEntropySix",
                    [] { return PeImageBuilder::padToProfile(ordinaryImage().build(), kEntropy6); },
                    0,
                    0,
                    "",
                    {}},
        ScoringCase{
            "EntropyExactlySevenAndAHalfIsOnlyHigh",
            [] { return PeImageBuilder::padToProfile(ordinaryImage().build(), kEntropy7_5); },
            10,
            0,
            "",
            {"High entropy detected"}},
        ScoringCase{"EntropyExactlySevenIsNothing",
                    [] { return PeImageBuilder::padToProfile(ordinaryImage().build(), kEntropy7); },
                    0,
                    0,
                    "",
                    {}},
        ScoringCase{"VirtualSizeThreeTimesRawIsAMismatch",
                    [] {
                      PeImageBuilder builder = ordinaryImage();
                      builder.section(sizedSection(".bss", 0x3000));
                      return withZeros(builder.build());
                    },
                    5,
                    0,
                    "",
                    {"Section size mismatches: 1"}},
        ScoringCase{
            "VirtualSizeTwiceRawIsNoMismatch",
            [] {
              PeImageBuilder builder = ordinaryImage();
              builder.section(sizedSection(".bss", 0x2000)).section(sizedSection(".tiny", 0x800));
              return withZeros(builder.build());
            },
            0,
            0,
            "",
            {}},
        ScoringCase{"VirtualSizeBelowHalfRawIsAMismatch",
                    [] {
                      PeImageBuilder builder = ordinaryImage();
                      builder.section(sizedSection(".tiny", 0x7FF));
                      return withZeros(builder.build());
                    },
                    5,
                    0,
                    "",
                    {"Section size mismatches: 1"}},
        ScoringCase{"HighEntropyCodeWithoutKnownNameIsAnUnknownPacker",
                    [] {
                      PeImageBuilder builder;
                      builder.section(".text", kCode, PeImageBuilder::bytesWithProfile({{256, 16}}))
                          .section(".rdata", PeImageBuilder::kRead, plainData('r'))
                          .section(".data", kData, plainData('d'));
                      return withZeros(builder.build());
                    },
                    25,
                    1,
                    "Unknown Packer (High Entropy)",
                    {"Packed with: Unknown Packer (High Entropy)"}},
        ScoringCase{"CodeAtEntropySevenIsNoPacker",
                    [] {
                      PeImageBuilder builder;
                      builder.section(".text", kCode, PeImageBuilder::bytesWithProfile({{128, 32}}))
                          .section(".rdata", PeImageBuilder::kRead, plainData('r'))
                          .section(".data", kData, plainData('d'));
                      return withZeros(builder.build());
                    },
                    0,
                    0,
                    "",
                    {}},
        ScoringCase{"HighEntropyDataIsNoPacker",
                    [] {
                      PeImageBuilder builder;
                      builder.section(".text", kCode, plainData('c'))
                          .section(".rdata", PeImageBuilder::kRead,
                                   PeImageBuilder::bytesWithProfile({{256, 16}}))
                          .section(".data", kData, plainData('d'));
                      return withZeros(builder.build());
                    },
                    0,
                    0,
                    "",
                    {}},
        ScoringCase{"FirstSectionDecidesThePacker",
                    [] {
                      PeImageBuilder builder;
                      builder.section(".aspack", kData, plainData('a'))
                          .section("UPX0", kData, plainData('u'));
                      return withZeros(builder.build());
                    },
                    35,
                    2,
                    "ASPack",
                    {"Packed with: ASPack", "Unusually few sections"}},
        ScoringCase{"FragmentMatchesAnywhereInTheName",
                    [] {
                      PeImageBuilder builder = ordinaryImage();
                      builder.section("x.vmp1", kData, plainData('v'));
                      return withZeros(builder.build());
                    },
                    25,
                    1,
                    "VMProtect",
                    {"Packed with: VMProtect"}},
        ScoringCase{"FragmentsAreCaseSensitive",
                    [] {
                      PeImageBuilder builder = ordinaryImage();
                      builder.section("upx0", kData, plainData('u'));
                      return withZeros(builder.build());
                    },
                    0,
                    0,
                    "",
                    {}},
        ScoringCase{"ScoreFiftyIsRiskThree",
                    [] {
                      PeImageBuilder builder = ordinaryImage();
                      builder.section(sizedSection(".themida", 0x3000));
                      return PeImageBuilder::padToProfile(builder.build(), kEntropy8);
                    },
                    50,
                    3,
                    "Themida",
                    {"Very high entropy (possible encryption/packing)", "Packed with: Themida",
                     "Section size mismatches: 1"}},
        ScoringCase{"ScoreFortyFiveIsRiskTwo",
                    [] {
                      PeImageBuilder builder = ordinaryImage();
                      builder.section(".nsp0", kData, plainData('n'));
                      return PeImageBuilder::padToProfile(builder.build(), kEntropy8);
                    },
                    45,
                    2,
                    "NsPack",
                    {"Very high entropy (possible encryption/packing)", "Packed with: NsPack"}},
        ScoringCase{"ElevenSectionsAreMany",
                    [] {
                      PeImageBuilder builder;
                      for (int index = 0; index < 11; ++index) {
                        builder.section(".s" + std::to_string(index), PeImageBuilder::kRead,
                                        plainData('s'));
                      }
                      return withZeros(builder.build());
                    },
                    5,
                    0,
                    "",
                    {"Unusually many sections"}},
        ScoringCase{"ScoreIsCappedAtHundred",
                    [] {
                      PeImageBuilder builder;
                      for (int index = 0; index < 8; ++index) {
                        builder.section(".w" + std::to_string(index), kWritableCode,
                                        plainData('w'));
                      }
                      return withZeros(builder.build());
                    },
                    100,
                    4,
                    "",
                    {"Writable+Executable sections: 8"}}),
    [](const ::testing::TestParamInfo<ScoringCase>& info) { return info.param.name; });

struct MalformedCase {
  const char* name;
  std::function<std::string()> bytes;
  std::string indicator;
};

class PeMalformedTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(PeMalformedTest, GivesOneIndicatorAndNoScore) {
  const PeAnalysisResult result = analyzeBytes(GetParam().bytes());
  EXPECT_FALSE(result.isPE);
  EXPECT_TRUE(result.is32Bit);
  EXPECT_EQ(result.indicators, std::vector<std::string>{GetParam().indicator});
  EXPECT_EQ(result.score, 0);
  EXPECT_EQ(result.riskLevel, 0);
  EXPECT_TRUE(result.sections.empty());
}

const std::string kNoMz = "Not a valid PE file (missing MZ signature)";
const std::string kNoPe = "Not a valid PE file (missing PE signature)";

std::string withHeaderOffset(std::int32_t offset) {
  PeImageBuilder builder = ordinaryImage();
  return builder.headerOffsetField(offset).build();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PeMalformedTest,
    ::testing::Values(
        MalformedCase{"EmptyFile", [] { return std::string(); }, kNoMz},
        MalformedCase{"OneByte", [] { return std::string("M"); }, kNoMz},
        MalformedCase{"SwappedSignature", [] { return std::string("ZM") + std::string(200, 0); },
                      kNoMz},
        MalformedCase{"TextFile", [] { return std::string("just some text, not a program\n"); },
                      kNoMz},
        MalformedCase{"MzOnly", [] { return std::string("MZ"); }, kNoPe},
        MalformedCase{"DosHeaderWithoutPeHeader",
                      [] { return std::string("MZ") + std::string(500, '\x90'); }, kNoPe},
        MalformedCase{"NegativeHeaderOffset", [] { return withHeaderOffset(-4); }, kNoPe},
        MalformedCase{"MostNegativeHeaderOffset",
                      [] { return withHeaderOffset(std::numeric_limits<std::int32_t>::min()); },
                      kNoPe},
        MalformedCase{"HeaderOffsetFarPastTheEnd", [] { return withHeaderOffset(0x7FFFFFF0); },
                      kNoPe},
        MalformedCase{"PeHeaderCutShort",
                      [] { return ordinaryImage().build().substr(0, 0x40 + 10); }, kNoPe}),
    [](const ::testing::TestParamInfo<MalformedCase>& info) { return info.param.name; });

TEST(PeAnalyzerTest, UnopenablePathsGiveCannotOpen) {
  testing::TempDir dir;
  for (const std::string& path : {dir.str() + "/missing.exe", dir.str()}) {
    const PeAnalysisResult result = PeAnalyzer().analyze(path);
    EXPECT_FALSE(result.isPE) << path;
    EXPECT_EQ(result.indicators, std::vector<std::string>{"Cannot open file"}) << path;
  }
}

TEST(PeAnalyzerTest, ReadsHeaderFieldsAndSections) {
  PeImageBuilder builder;
  builder.machine(PeImageBuilder::kMachineAmd64)
      .section(".text", kCode, plainData('c'))
      .section(".longname", kData, plainData('d'))
      .section({"UPX1", kWritableCode, std::string(0x1000, 'u'), 0x4000, {}, {}})
      .section({".bss", kData, "", 0x8000, 0, 0});
  const PeAnalysisResult result = analyzeBytes(withZeros(builder.build()));

  ASSERT_TRUE(result.isPE);
  EXPECT_FALSE(result.is32Bit);
  ASSERT_EQ(result.sections.size(), 4u);
  EXPECT_EQ(result.sections[0].name, ".text");
  EXPECT_TRUE(result.sections[0].executable);
  EXPECT_FALSE(result.sections[0].writable);
  EXPECT_EQ(result.sections[1].name, ".longnam");
  EXPECT_FALSE(result.sections[1].executable);
  EXPECT_TRUE(result.sections[1].writable);
  EXPECT_EQ(result.sections[2].virtualSize, 0x4000u);
  EXPECT_EQ(result.sections[2].rawSize, 0x1000u);
  EXPECT_TRUE(result.sections[2].sizeMismatch);
  EXPECT_DOUBLE_EQ(result.sections[2].entropy, 0.0);
  // A section without raw data is never a mismatch, whatever its virtual size.
  EXPECT_FALSE(result.sections[3].sizeMismatch);
  EXPECT_EQ(result.packer, "UPX");
}

TEST(PeAnalyzerTest, SectionCountIsCappedAtNinetySix) {
  PeImageBuilder builder;
  for (int index = 0; index < 100; ++index) {
    builder.section(".s" + std::to_string(index), PeImageBuilder::kRead, "");
  }
  builder.announcedSections(0xFFFF);
  const PeAnalysisResult result = analyzeBytes(builder.build());
  ASSERT_TRUE(result.isPE);
  ASSERT_EQ(result.sections.size(), 96u);
  EXPECT_EQ(result.sections.back().name, ".s95");
  EXPECT_EQ(result.indicators, std::vector<std::string>{"Unusually many sections"});
}

TEST(PeAnalyzerTest, SectionTableEndsWithTheFile) {
  PeImageBuilder builder = ordinaryImage();
  const std::string image = builder.announcedSections(50).build();
  // Cut the file right after the second section header.
  const std::size_t tableEnd = 0x40 + 24 + 224 + 2 * 40;
  const PeAnalysisResult result = analyzeBytes(image.substr(0, tableEnd + 39));
  ASSERT_TRUE(result.isPE);
  ASSERT_EQ(result.sections.size(), 2u);
  EXPECT_EQ(result.sections[1].name, ".rdata");

  // An optional-header size that moves the table past the end of the file.
  std::string pastEndImage = image;
  pastEndImage[0x40 + 20] = '\xFF';
  pastEndImage[0x40 + 21] = '\xFF';
  const PeAnalysisResult pastEnd = analyzeBytes(pastEndImage);
  EXPECT_TRUE(pastEnd.isPE);
  EXPECT_TRUE(pastEnd.sections.empty());
  EXPECT_EQ(pastEnd.indicators, std::vector<std::string>{"Unusually few sections"});
}

TEST(PeAnalyzerTest, SectionDataOutsideTheFileCountsAsZeros) {
  const std::string noise = PeImageBuilder::bytesWithProfile({{256, 16}});
  PeImageBuilder builder = ordinaryImage();
  builder.section({".lying", kData, noise, {}, 0xFFFFFFFF, {}})
      .section({".away", kData, "", {}, 0x1000, 0xFFFFFF00});
  const std::string image = builder.build();
  const PeAnalysisResult result = analyzeBytes(image);
  ASSERT_EQ(result.sections.size(), 5u);

  // The huge raw size reads one MiB from the section's start, zero-filled past the end.
  const std::size_t start = image.find(noise);
  std::string expected = image.substr(start);
  expected.resize(1 << 20, '\0');
  EXPECT_DOUBLE_EQ(
      result.sections[3].entropy,
      PeAnalyzer::entropy(reinterpret_cast<const std::uint8_t*>(expected.data()), expected.size()));
  EXPECT_GT(result.sections[3].entropy, 0.0);
  EXPECT_DOUBLE_EQ(result.sections[4].entropy, 0.0);
}

TEST(PeAnalyzerTest, EntropyOfKnownBuffers) {
  struct Case {
    std::string bytes;
    double entropy;
  };
  const std::vector<Case> cases = {
      {"", 0.0},
      {std::string(1000, 'a'), 0.0},
      {"abababab", 1.0},
      {"abcd", 2.0},
      {PeImageBuilder::bytesWithProfile({{64, 3}}), 6.0},
      {PeImageBuilder::bytesWithProfile({{64, 2}, {128, 1}}), 7.5},
      {PeImageBuilder::bytesWithProfile({{256, 5}}), 8.0},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(
        PeAnalyzer::entropy(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size()),
        c.entropy)
        << c.bytes.size() << " bytes";
  }
}

TEST(PeAnalyzerTest, FileEntropyCoversTheFirstTenMiB) {
  const std::string small = PeImageBuilder::padToProfile(ordinaryImage().build(), kEntropy8);
  EXPECT_DOUBLE_EQ(analyzeBytes(small).entropy, 8.0);

  std::string large = ordinaryImage().build();
  large.resize(10u << 20, '\0');
  const double firstTenMiB =
      PeAnalyzer::entropy(reinterpret_cast<const std::uint8_t*>(large.data()), large.size());
  large += PeImageBuilder::bytesWithProfile({{256, 4096}});
  EXPECT_DOUBLE_EQ(analyzeBytes(large).entropy, firstTenMiB);
}

TEST(PeAnalyzerTest, RiskLevelBoundaries) {
  const std::vector<std::pair<std::int32_t, std::int32_t>> cases = {
      {0, 0}, {14, 0}, {15, 1}, {29, 1}, {30, 2}, {49, 2}, {50, 3}, {69, 3}, {70, 4}, {100, 4}};
  for (const auto& [score, level] : cases) {
    EXPECT_EQ(PeAnalyzer::riskLevelForScore(score), level) << score;
  }
}

TEST(PeAnalyzerTest, IsPeFileLooksAtTheFirstTwoBytes) {
  testing::TempDir dir;
  const PeAnalyzer analyzer;
  const std::vector<std::pair<std::string, bool>> cases = {
      {"MZ", true},  {"MZ\x90\x00 rest", true}, {"M", false},  {"", false},
      {"ZM", false}, {"plain text\n", false},   {"mz", false},
  };
  int index = 0;
  for (const auto& [bytes, expected] : cases) {
    const std::string path = dir.write("case" + std::to_string(index++) + ".exe", bytes);
    EXPECT_EQ(analyzer.isPeFile(path), expected) << bytes;
  }
  EXPECT_FALSE(analyzer.isPeFile(dir.str() + "/missing.exe"));
  EXPECT_FALSE(analyzer.isPeFile(dir.str()));
}

}  // namespace
}  // namespace norvid
