#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/AllowList.hpp"
#include "engine/HashSignatures.hpp"
#include "engine/RuleFolder.hpp"
#include "engine/RuleSplitter.hpp"
#include "engine/ScanVariables.hpp"
#include "engine/YaraRules.hpp"
#include "platform/FileHandle.hpp"

struct YR_SCAN_CONTEXT;

namespace norvid {

class YaraLoadTrace;

// The only component that talks to libyara. It initialises the library, loads the rule
// sources (.yar, .yara) of one directory into one rule set plus every precompiled set (.yarc)
// and every hash list (.hdb, .hsb, .hashes) beside them, and matches files against all sets and
// signatures: a matching hash signature counts as a match of a rule of its name. Each load writes a
// step-by-step trace to `yara_load.log` in the trace directory.
//
// Calling order: initialize(), loadRulesFromDirectory() once, any number of scanFile() (safe
// from several threads at once, as long as nothing loads or unloads meanwhile), then unload()
// or destruction.
class YaraEngine {
 public:
  // `traceDirectory` is where `yara_load.log` goes.
  explicit YaraEngine(std::string traceDirectory);
  ~YaraEngine();
  YaraEngine(const YaraEngine&) = delete;
  YaraEngine& operator=(const YaraEngine&) = delete;

  // Initialises libyara; true when it is initialised (now or already).
  bool initialize();

  // Destroys every rule set and finalises the library when this engine initialised it.
  void unload();

  // Loads the rule files of `directory` (not recursively). True when at least one rule set is
  // held afterwards. Throws std::filesystem::filesystem_error only when the existence query of
  // the directory itself fails for a reason other than not-found.
  bool loadRulesFromDirectory(const std::string& directory);

  // Folders loaded by loadRulesFromDirectory() after its own directory, each into a rule set of
  // its own in its namespace, with the external variables rule collections use defined empty and
  // includes refused. A file that does not compile is left out of its folder's set; a folder
  // that gives no rule is skipped. Neither affects the main directory's result.
  void setAdditionalFolders(std::vector<RuleFolder> folders) {
    additionalFolders_ = std::move(folders);
  }

  // Whether rule sources are compiled into sets split by the first two bytes of the files they
  // can match (on by default); turned off only to compare with the whole set.
  void setSplitByLeadingBytes(bool split) { splitByLeadingBytes_ = split; }

  // Loads one rule set saved by libyara and appends it. REQUIRES: initialize() succeeded.
  bool loadCompiledRules(const std::string& path);

  // Identifiers of the matching rules, in rule-set order and, within a set, in the order the
  // library reported them; never de-duplicated. Empty when nothing matched, the file cannot be
  // read, is empty or is larger than 64 MiB. Never throws.
  std::vector<std::string> scanFile(const std::string& path) const;

  // The same for the file open on `file`, whose size the caller took from that descriptor: its
  // bytes are matched through a read-only mapping, never copied. `complete` (when given) becomes
  // false when a rule set ran into the time limit or failed, so the list may lack matches.
  // `variables` gives the rules' file name, folder, extension and owner (when null they come from
  // `label`, with no owner); the file type is always read from the file itself.
  std::vector<std::string> scanOpenFile(const platform::FileHandle& file, std::uint64_t size,
                                        const std::string& label, bool* complete = nullptr,
                                        const ScanVariables* variables = nullptr) const;

  // The same for `size` bytes in memory; `label` names them in error lines.
  std::vector<std::string> scanMemory(const unsigned char* data, std::size_t size,
                                      const std::string& label, bool* complete = nullptr,
                                      const ScanVariables* variables = nullptr) const;

  // Number of rules over all sets, private and global ones included; a rule in several of a
  // folder's split sets counts once.
  std::int32_t getTotalRules() const;

  // Loads the allow list from the `*.conf` files of `directory` (a missing folder allows
  // nothing); skipped lines are reported on the console and in the event log. Matches of
  // allowed rules are dropped, and files with an allowed SHA-256 get no matches, from then on.
  void loadAllowList(const std::string& directory);

  const AllowList& allowList() const { return allowList_; }

  // Hash signatures loaded from the lists beside the rules.
  std::size_t hashSignatureCount() const { return hashes_.count(); }

  // At least one rule set is loaded.
  bool hasRuleSets() const;

  bool isInitialized() const { return initialized_; }

  // Text of the last failure of initialize(), loadRulesFromDirectory() or loadCompiledRules().
  const std::string& lastError() const { return lastError_; }

  // Full path of the load trace file.
  std::string tracePath() const;

  // Files larger than this are never matched.
  static constexpr std::uint64_t kMaxScanBytes = 64ull * 1024 * 1024;
  // Rule sources larger than this are not compiled (they are expected as .yarc).
  static constexpr std::uint64_t kMaxSourceBytes = 5ull * 1024 * 1024;
  // Time limit of one rule set over one file.
  static constexpr int kScanTimeoutSeconds = 10;

 private:
  // One folder's rules or one precompiled set: a single libyara set, or one per group of files
  // by their first two bytes plus the set for every other file.
  struct LoadedSet {
    std::size_t anyIndex = 0;
    std::vector<std::pair<std::uint16_t, std::size_t>> byLeadingBytes;
  };

  void appendRuleSet(YaraRules rules);
  // The split of `files` (which compile together, in that order), when splitting is on and the
  // analysis succeeds.
  std::optional<RuleSplitter::Plan> planSplit(const std::vector<std::string>& files) const;
  // Appends a folder's rules: split as `plan` says when every planned set compiles with the rules
  // planned for it, otherwise `whole` as one set.
  void appendFolderRules(YaraRules whole, const std::optional<RuleSplitter::Plan>& plan,
                         const char* nameSpace, YaraLoadTrace& trace);
  // The libyara set of `loaded` for a file that starts with `leadingBytes`.
  std::size_t ruleSetFor(const LoadedSet& loaded, std::optional<std::uint16_t> leadingBytes) const;
  // Adds the names of the hash signatures the bytes read through `read` match.
  void appendHashMatches(std::vector<std::string>& matches, std::uint64_t size, bool* complete,
                         const HashSignatures::Reader& read) const;
  // Drops what the allow list allows from `matches`, saying so for the file known as `shownPath`.
  void applyAllowList(std::vector<std::string>& matches, std::uint64_t size,
                      const std::string& shownPath, const HashSignatures::Reader& read) const;
  // Matches `size` bytes against every rule set with `variables` defined for the scan.
  // Matches `size` bytes against the rules and the hash signatures and applies the allow list;
  // `read` reads the same bytes for everything but libyara.
  std::vector<std::string> matchAll(const unsigned char* data, std::size_t size,
                                    const std::string& label, bool* complete,
                                    const ScanVariables* variables,
                                    const HashSignatures::Reader& read) const;
  // `leadingBytes` are the first two bytes as a little-endian value (none for a shorter file).
  std::vector<std::string> matchBytes(const unsigned char* data, std::size_t size,
                                      const std::string& label, bool* complete,
                                      const ScanVariables& variables,
                                      std::optional<std::uint16_t> leadingBytes) const;
  // A libyara scanner for rule set `index`, reused from earlier scans when one is idle (creating
  // one costs allocations in proportion to the rule count); null when none can be created.
  YR_SCAN_CONTEXT* takeScanner(std::size_t index) const;
  void returnScanner(std::size_t index, YR_SCAN_CONTEXT* scanner) const;
  void destroyIdleScanners();
  bool failLoad(YaraLoadTrace& trace, std::string message);
  // Compiles a feed's rule files in its namespace; its hash lists join `hashLists`.
  void loadAdditionalFolder(YaraLoadTrace& trace, const RuleFolder& folder,
                            std::vector<std::string>& hashLists);
  // Loads the hash lists found in a rule folder, one trace line per list.
  void loadHashLists(std::vector<std::string> lists, YaraLoadTrace& trace);

  std::vector<YaraRules> ruleSets_;
  std::vector<LoadedSet> loadedSets_;
  bool splitByLeadingBytes_ = true;
  HashSignatures hashes_{kMaxScanBytes};
  AllowList allowList_;
  // Idle scanners per rule set; every one is destroyed before its rule set.
  mutable std::mutex scannersMutex_;
  mutable std::vector<std::vector<YR_SCAN_CONTEXT*>> idleScanners_;
  bool initialized_ = false;
  std::string lastError_;
  std::uint32_t totalRules_ = 0;
  std::string traceDirectory_;
  std::vector<RuleFolder> additionalFolders_;
};

}  // namespace norvid
