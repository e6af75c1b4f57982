// Loads an exclusion list from an exclusions.json holding the input and asks it about a few
// paths, as the scanner would. A list that loads must save rules that load again unchanged; a
// file that does not load must survive, either in place or moved aside, byte for byte.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "exclusions/ExclusionEntry.hpp"
#include "exclusions/ExclusionsManager.hpp"
#include "tests/fuzz/FuzzCheck.hpp"
#include "tests/fuzz/FuzzEntry.hpp"
#include "tests/fuzz/FuzzWorkspace.hpp"

namespace {

namespace fs = std::filesystem;
using norvid::fuzzing::FuzzWorkspace;
using norvid::fuzzing::require;

constexpr const char* kEmptyHash =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

struct Probe {
  const char* path;
  const char* hash;
};

const Probe kProbes[] = {
    {"C:\\Users\\Ana\\Downloads\\setup.exe", kEmptyHash},
    {"/home/user/Tools/build/output.DLL", ""},
    {"/opt/game/data/level1.pak", kEmptyHash},
    {"relative/notes.txt", ""},
    {"/tmp/a.b.c", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
    {"", ""},
};

class ExclusionsHarness {
 public:
  ExclusionsHarness() : workspace_("exclusions") {}

  void run(const std::string& bytes) {
    const fs::path config = workspace_.freshDirectory("config");
    const std::string file = workspace_.write("config/exclusions.json", bytes);

    bool loaded = false;
    std::vector<norvid::ExclusionEntry> rules;
    {
      norvid::ExclusionsManager manager(file);
      loaded = manager.initialize();
      rules = manager.getExclusions();
      require(manager.getCount() == rules.size(), "getCount matches getExclusions");
      for (const Probe& probe : kProbes) (void)manager.isExcluded(probe.path, probe.hash);
    }

    if (loaded) {
      norvid::ExclusionsManager again(file);
      require(again.initialize(), "saved rules load again");
      require(again.getExclusions() == rules, "rules survive a round trip");
      return;
    }
    bool kept = false;
    for (const auto& entry : fs::directory_iterator(config)) {
      if (entry.is_regular_file() && norvid::fuzzing::readWholeFile(entry.path()) == bytes)
        kept = true;
    }
    require(kept, "an unreadable exclusions.json is kept");
  }

 private:
  FuzzWorkspace workspace_;
};

}  // namespace

NORVID_FUZZ_HARNESS(ExclusionsHarness)
