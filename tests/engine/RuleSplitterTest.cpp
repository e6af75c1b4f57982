#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/RuleSplitter.hpp"
#include "engine/YaraEngine.hpp"
#include "tests/support/ArchiveFixtures.hpp"
#include "tests/support/PeImageBuilder.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using norvid::testing::ArchiveFixtures;
using norvid::testing::ArchiveFormat;
using norvid::testing::ArchiveMember;
using norvid::testing::PeImageBuilder;
using norvid::testing::readFile;
using norvid::testing::TempDir;
using Names = std::vector<std::string>;

// Rules of every shape the split treats: first-byte tests in their usual spellings, a private
// rule and references between rules, module use with and without a magic test, tests that look
// like a magic test and are not one, a file the parser cannot read that names a typed rule, and
// a global rule that gates a feed's namespace.
const char* const kTypedRules = R"(import "pe"
import "math"

private rule Is_Pe { condition: uint16(0) == 0x5A4D and uint32(uint32(0x3C)) == 0x00004550 }
rule Mz_Payload { strings: $a = "payload" condition: uint16(0) == 0x5A4D and $a }
rule Mz_Big_Endian { strings: $a = "payload" condition: (uint16be(0) == 0x4D5A) and filesize < 1MB and $a }
rule Mz_String_At_Zero { strings: $mz = "MZ" $a = "payload" condition: $mz at 0 and $a }
rule Pe_Sections { condition: pe.is_pe and pe.number_of_sections >= 1 }
rule Pe_Through_Private_Rule { strings: $a = "payload" condition: Is_Pe and $a }
rule Mz_Named_By_Any_Rule { strings: $a = "payload" condition: 0x5A4D == uint16(0) and #a > 1 }
rule Mz_Three_Bytes { condition: uint16(0) == 0x5A4D and uint8(2) == 0x90 }
rule Mz_Nocase_Is_Any { strings: $mz = "mz" nocase condition: $mz at 0 }
rule Mz_Wide_Is_Any { strings: $mz = "MZ" wide condition: $mz at 0 }
rule Mz_Or_Elf_Is_Any { condition: uint16(0) == 0x5A4D or uint32(0) == 0x464C457F }
rule Not_Mz_Is_Any { strings: $a = "payload" condition: not (uint16(0) == 0x5A4D) and $a }
rule Pe_Without_Magic_Test { condition: pe.number_of_sections == 1 or math.entropy(0, filesize) > 7.9 }
rule Any_Payload { strings: $a = "payload" condition: $a }
rule Any_Refers_To_Typed { condition: Mz_Named_By_Any_Rule or Any_Payload }
)";

const char* const kElfRules = R"(
rule Elf_Payload { strings: $a = "payload" condition: uint32(0) == 0x464C457F and $a }
rule Elf_Big_Endian { condition: uint32be(0) == 0x7F454C46 and filesize < 64KB }
rule Elf_String { strings: $e = "\x7fELF" condition: $e at 0 }
rule Script_Payload { strings: $a = "payload" condition: uint16(0) == 0x2123 and $a }
)";

// base64 is beyond the parser: the file goes into every set as it is, and names a typed rule (the
// padding makes it the largest file, so it compiles last, after the rule it names).
const std::string kUnparsedRules = "/* " + std::string(4096, '-') + " */" + R"(
rule Unparsed_Base64 { strings: $a = "payload" base64 condition: $a or Mz_String_At_Zero }
)";

// Rules for any file, which the split sets hold as the parser writes them back: every kind of
// string, modifier and condition must come back meaning the same.
const char* const kSyntaxRules = R"(import "math"
rule Syntax_Hex { strings: $h = { 70 61 [1-3] ( 6C 6F | 4C 4F ) ?? 64 } condition: $h }
rule Syntax_Nibbles { strings: $h = { 6? 6? 7? 6C } condition: #h >= 1 }
rule Syntax_Regex { strings: $r = /pay\/lo[a-d]{1,2}\x20?/is condition: $r }
rule Syntax_Escapes { strings: $s = "tab\there \"quoted\" back\\slash\n" condition: $s }
rule Syntax_Xor { strings: $x = "payload" xor(1-255) condition: $x }
rule Syntax_Wide_Nocase_Fullword { strings: $w = "PAYLOAD" wide nocase $f = "word" fullword
  condition: $w or $f }
rule Syntax_Private_And_Loops { strings: $a = "payload" private
  condition: for any i in (1..#a) : (@a[i] > 2 and !a[i] == 7) and $a in (0..filesize) }
rule Syntax_Numbers { condition: filesize > 0x10 and filesize < 1KB and uint8(filesize - 1) != 0xFF
  and math.entropy(0, filesize) >= 0.0 and -1 < 0 and 7 % 3 == 1 and (3 << 1) == 6 }
)";

const char* const kFeedRules = R"(
global rule Feed_Only_Mz { condition: uint16(0) == 0x5A4D }
rule Feed_Payload { strings: $a = "payload" condition: $a }
rule Feed_Elf { condition: uint32(0) == 0x464C457F }
)";

class RuleSplitterTest : public ::testing::Test {
 protected:
  RuleSplitterTest()
      : split((temp.path() / "split").string()), whole((temp.path() / "whole").string()) {
    temp.write("rules/a_typed.yar", kTypedRules);
    temp.write("rules/b_elf.yar", kElfRules);
    temp.write("rules/c_unparsed.yar", kUnparsedRules);
    temp.write("rules/d_syntax.yar", kSyntaxRules);
    temp.write("feed/feed.yar", kFeedRules);
  }

  fs::path rules() const { return temp.path() / "rules"; }

  void load() {
    whole.setSplitByLeadingBytes(false);
    for (YaraEngine* engine : {&split, &whole}) {
      engine->setAdditionalFolders({{(temp.path() / "feed").string(), "feed"}});
      ASSERT_TRUE(engine->initialize());
      ASSERT_TRUE(engine->loadRulesFromDirectory(rules().string())) << engine->lastError();
    }
  }

  // A corpus of files that start as PE, ELF, scripts and archives do, and of files that only
  // start like one of them.
  std::vector<fs::path> corpus() const {
    const std::string pe =
        PeImageBuilder().section(".text", PeImageBuilder::kExecute, "payload payload").build();
    const std::string elf = std::string(
                                "\x7f"
                                "ELF\x02\x01\x01",
                                7) +
                            std::string(57, '\0') + "payload";
    std::vector<std::pair<std::string, std::string>> files = {
        {"pe.exe", pe},
        {"pe-without-payload.exe",
         PeImageBuilder().section(".text", PeImageBuilder::kRead, "x").build()},
        {"mz-text.txt", "MZ payload, not a PE"},
        {"mz-90.bin", std::string("MZ\x90\x00 payload", 12)},
        {"mz-only.bin", "MZ"},
        {"lower-mz.txt", "mZ payload"},
        {"wide-mz.bin", std::string("M\0Z\0payload", 11)},
        {"elf.bin", elf},
        {"elf-header-only.bin", std::string("\x7f"
                                            "ELF",
                                            4)},
        {"script.sh", "#!/bin/sh\necho payload\n"},
        {"text.txt", "plain text with payload and payload"},
        {"base64.txt", "cGF5bG9hZA=="},
        {"one-byte.bin", "M"},
        {"syntax.txt",
         "pa\x01LOxd; pay/loAd PAYLO; tab\there \"quoted\" back\\slash\n a word "
         "and payload twice: payload, easly"},
        {"syntax-wide.bin", std::string("p\0a\0y\0l\0o\0a\0d\0", 14) + "mZ"},
        {"xor.bin", std::string("\x71\x60\x78\x6d\x6e\x60\x65", 7)},
        {"zip.zip",
         ArchiveFixtures::build(ArchiveFormat::Zip, {ArchiveMember::file("inner.exe", pe),
                                                     ArchiveMember::file("inner.elf", elf)})},
    };
    if (fs::exists("/bin/true")) files.emplace_back("true", readFile("/bin/true"));
    std::vector<fs::path> paths;
    for (const auto& [name, content] : files) {
      paths.push_back(temp.write("corpus/" + name, content));
    }
    return paths;
  }

  std::vector<std::string> traceOf(const YaraEngine& engine) const {
    std::ifstream in(engine.tracePath());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  TempDir temp;
  YaraEngine split;
  YaraEngine whole;
};

TEST_F(RuleSplitterTest, SplitSetsGiveEveryFileTheWholeSetsMatchesInTheSameOrder) {
  load();
  const std::vector<std::string> trace = traceOf(split);
  EXPECT_NE(std::find_if(trace.begin(), trace.end(),
                         [](const std::string& line) {
                           return line.rfind("[YARA] División por tipo de archivo: any", 0) == 0 &&
                                  line.find("MZ") != std::string::npos;
                         }),
            trace.end())
      << "the rules were not split";
  EXPECT_EQ(split.getTotalRules(), whole.getTotalRules());

  for (const fs::path& file : corpus()) {
    const Names expected = whole.scanFile(file.string());
    EXPECT_EQ(split.scanFile(file.string()), expected) << file.filename();
    const std::string bytes = readFile(file);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    EXPECT_EQ(split.scanMemory(data, bytes.size(), file.string()),
              whole.scanMemory(data, bytes.size(), file.string()))
        << file.filename() << " in memory";
  }

  // The comparison is not empty: the typed rules do match what they are for.
  const Names pe = split.scanFile((temp.path() / "corpus" / "pe.exe").string());
  for (const char* name : {"Mz_Payload", "Mz_Big_Endian", "Mz_String_At_Zero", "Pe_Sections",
                           "Pe_Through_Private_Rule", "Mz_Named_By_Any_Rule", "Feed_Payload"}) {
    EXPECT_NE(std::find(pe.begin(), pe.end(), name), pe.end()) << name;
  }
  const Names syntax = split.scanFile((temp.path() / "corpus" / "syntax.txt").string());
  for (const char* name :
       {"Syntax_Hex", "Syntax_Nibbles", "Syntax_Regex", "Syntax_Escapes",
        "Syntax_Wide_Nocase_Fullword", "Syntax_Private_And_Loops", "Syntax_Numbers"}) {
    EXPECT_NE(std::find(syntax.begin(), syntax.end(), name), syntax.end()) << name;
  }
  const Names xored = split.scanFile((temp.path() / "corpus" / "xor.bin").string());
  EXPECT_NE(std::find(xored.begin(), xored.end(), "Syntax_Xor"), xored.end());
  const Names elf = split.scanFile((temp.path() / "corpus" / "elf.bin").string());
  EXPECT_NE(std::find(elf.begin(), elf.end(), "Elf_Payload"), elf.end());
  EXPECT_EQ(std::find(elf.begin(), elf.end(), "Feed_Payload"), elf.end())
      << "the feed's global rule no longer gates a file that is not MZ";
}

TEST_F(RuleSplitterTest, PlanKeepsWhatCannotBeTypedInEverySet) {
  std::vector<std::string> files = {(rules() / "a_typed.yar").string(),
                                    (rules() / "b_elf.yar").string(),
                                    (rules() / "c_unparsed.yar").string()};
  const RuleSplitter::Plan plan = RuleSplitter::plan(files);
  ASSERT_TRUE(plan.splits());
  EXPECT_EQ(plan.wholeFiles, Names{(rules() / "c_unparsed.yar").string()});
  EXPECT_FALSE(plan.variants[0].leadingBytes.has_value());
  std::vector<std::uint16_t> groups;
  for (std::size_t i = 1; i < plan.variants.size(); ++i) {
    groups.push_back(*plan.variants[i].leadingBytes);
  }
  // "MZ" and "\x7fE"; the one "#!" rule is too few for a set of its own.
  EXPECT_EQ(groups, (std::vector<std::uint16_t>{0x457F, 0x5A4D}));

  // Rules the "any" set must hold: the magic look-alikes, rules named by other rules or by the
  // unparsed file, and what those rules name.
  const std::string& anyText = plan.variants[0].chunks[0].text + plan.variants[0].chunks[1].text;
  for (const char* name :
       {"Mz_Nocase_Is_Any", "Mz_Wide_Is_Any", "Mz_Or_Elf_Is_Any", "Not_Mz_Is_Any",
        "Pe_Without_Magic_Test", "Mz_Named_By_Any_Rule", "Mz_String_At_Zero", "Script_Payload"}) {
    EXPECT_NE(anyText.find(std::string("rule ") + name + " "), std::string::npos) << name;
  }
  for (const char* name : {"Mz_Payload", "Pe_Sections", "Elf_Payload"}) {
    EXPECT_EQ(anyText.find(std::string("rule ") + name + " "), std::string::npos) << name;
  }
  // Only the module that "any" rules use is imported into "any".
  EXPECT_EQ(plan.variants[0].chunks[0].text, "import \"math\"\nimport \"pe\"\n");
  EXPECT_EQ(plan.anyRulesByModule.at("pe"), 1u);

  // The syntax rules are read by the parser, so the split sets hold them as it writes them back.
  EXPECT_TRUE(RuleSplitter::plan({(rules() / "d_syntax.yar").string()}).wholeFiles.empty());
}

TEST_F(RuleSplitterTest, FewTypedRulesAreNotWorthASetOfTheirOwn) {
  std::string many;
  for (int i = 0; i < 20; ++i) {
    many += "rule Any_" + std::to_string(i) + " { strings: $a = \"m" + std::to_string(i) +
            "\" condition: $a }\n";
  }
  many += "rule Mz_Alone { condition: uint16(0) == 0x5A4D }\n";
  EXPECT_FALSE(RuleSplitter::plan({temp.write("few/few.yar", many)}).splits());
}

}  // namespace
}  // namespace norvid
