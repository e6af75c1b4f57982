// Loads the input as an allow list (/etc/norvid/allow.d/*.conf), as the service does at start and
// on every reload. Whatever the text, every line is taken, passed over or reported, and what was
// taken can be asked about.

#include <string>

#include "engine/AllowList.hpp"
#include "tests/fuzz/FuzzCheck.hpp"
#include "tests/fuzz/FuzzEntry.hpp"
#include "tests/fuzz/FuzzWorkspace.hpp"

namespace {

using norvid::AllowList;
using norvid::fuzzing::FuzzWorkspace;
using norvid::fuzzing::require;

class AllowListHarness {
 public:
  AllowListHarness() : workspace_("allow_list") {}

  void run(const std::string& bytes) {
    const std::string folder = workspace_.freshDirectory("allow.d");
    workspace_.write("allow.d/fuzzed.conf", bytes);
    AllowList list;
    const std::vector<AllowList::Problem> problems = list.load(folder);
    std::size_t lines = 1;
    for (char c : bytes) lines += c == '\n' ? 1 : 0;
    require(problems.size() <= lines, "at most one report per line");
    for (const AllowList::Problem& problem : problems) {
      require(problem.line >= 1 && problem.line <= lines, "a report names a line of the file");
    }
    require(list.ruleCount() + list.digestCount() + problems.size() <= lines,
            "every line gives at most one entry or one report");
    require(!list.allowsDigest(""), "an empty digest is never allowed");
  }

 private:
  FuzzWorkspace workspace_;
};

}  // namespace

NORVID_FUZZ_HARNESS(AllowListHarness)
