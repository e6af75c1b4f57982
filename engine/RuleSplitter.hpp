#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace norvid {

// Plans rule sets split by what a file starts with. Most published rules can only match one kind
// of file: their condition is a conjunction that tests the first bytes (`uint16(0) == 0x5A4D`,
// `uint32be(0) == 0x7F454C46`, `$mz at 0`, `pe.is_pe`). Such a rule goes into the group of the
// file's first two bytes, every other rule into "any", and each group's set holds the "any" rules
// too, in the original order, so a file is matched once, by one set, and gets exactly the matches
// (in the same order) the whole set would give it. Only the modules a set's rules use are
// imported into it, so a file that starts with neither magic never pays for the `pe` module.
//
// What cannot be analysed stays whole: a file the parser cannot read goes into every set as it
// is, a global rule is in "any" (it gates the whole namespace), and a rule another rule refers to
// goes where that rule goes or into "any".
class RuleSplitter {
 public:
  // One piece of source for a compiler: a file added as it is (`text` empty) or rule text.
  struct Chunk {
    std::string path;
    std::string text;
  };

  // The source of one set. `leadingBytes` is the first two bytes of the files it is for, read as
  // a little-endian 16-bit value (0x5A4D for "MZ"); none for the "any" set.
  struct Variant {
    std::optional<std::uint16_t> leadingBytes;
    std::vector<Chunk> chunks;
    // Parsed rules the set holds (a group's set: the "any" rules and its own); the rules of files
    // added whole are not counted.
    std::size_t rules = 0;
  };

  struct Plan {
    // The "any" set first, then one per group. A plan with the "any" set alone splits nothing.
    std::vector<Variant> variants;
    std::size_t parsedRules = 0;
    // Files the parser could not read, each added whole to every set.
    std::vector<std::string> wholeFiles;
    // For each module, the rules of "any" that use it: every file pays for that module.
    std::map<std::string, std::size_t> anyRulesByModule;
    bool splits() const { return variants.size() > 1; }
  };

  // A group is kept only with at least this share of the parsed rules (1/16): each group's set
  // repeats the "any" rules, so a handful of typed rules is cheaper left in "any".
  static constexpr std::size_t kMinimumGroupShare = 16;
  static constexpr std::size_t kMaximumGroups = 4;
  static constexpr std::size_t kMaximumParserThreads = 4;

  // The group key of a file or a prefix: its first two bytes as a little-endian value (0x5A4D for
  // "MZ"); none when there are fewer than two.
  static std::optional<std::uint16_t> leadingBytesOf(const unsigned char* bytes, std::size_t size);

  // Plans the sets for `files`, the rule sources that compiled together, in compile order.
  static Plan plan(const std::vector<std::string>& files);
};

}  // namespace norvid
