// Opens a quarantine store whose metadata.json holds the input and lists it, as list_quarantine
// and status do. A store that loads must write back records that load again unchanged; one that
// does not load must keep the file byte for byte. Either way the directory holds nothing else
// afterwards (no temporary files left over).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quarantine/QuarantineEntry.hpp"
#include "quarantine/QuarantineManager.hpp"
#include "tests/fuzz/FuzzCheck.hpp"
#include "tests/fuzz/FuzzEntry.hpp"
#include "tests/fuzz/FuzzWorkspace.hpp"

namespace {

namespace fs = std::filesystem;
using norvid::fuzzing::FuzzWorkspace;
using norvid::fuzzing::require;

bool sameEntry(const norvid::QuarantineEntry& a, const norvid::QuarantineEntry& b) {
  return a.id == b.id && a.original_path == b.original_path &&
         a.quarantine_path == b.quarantine_path && a.threat_name == b.threat_name &&
         a.quarantine_date == b.quarantine_date && a.file_size == b.file_size &&
         a.file_hash == b.file_hash && a.scan_engine == b.scan_engine;
}

struct Listing {
  bool loaded = false;
  std::vector<norvid::QuarantineEntry> entries;
};

Listing list(const std::string& store) {
  norvid::QuarantineManager manager(store);
  Listing listing{manager.metadataLoaded(), manager.getEntries()};
  require(manager.getCount() == listing.entries.size(), "getCount matches getEntries");
  require(listing.loaded || listing.entries.empty(), "an unread file lists nothing");
  return listing;
}

class QuarantineHarness {
 public:
  QuarantineHarness() : workspace_("quarantine") {}

  void run(const std::string& bytes) {
    const std::string store = workspace_.freshDirectory("Quarantine");
    const fs::path metadata = workspace_.write("Quarantine/metadata.json", bytes);

    const Listing first = list(store);
    if (!first.loaded) {
      require(norvid::fuzzing::readWholeFile(metadata) == bytes,
              "an unread metadata.json is kept unchanged");
    } else {
      const Listing second = list(store);
      require(second.loaded, "written records load again");
      require(second.entries.size() == first.entries.size(), "same number of records");
      for (std::size_t i = 0; i < first.entries.size(); ++i) {
        require(sameEntry(first.entries[i], second.entries[i]), "records survive a round trip");
      }
    }
    for (const auto& entry : fs::directory_iterator(store)) {
      require(entry.path() == metadata, "only metadata.json in the store");
    }
  }

 private:
  FuzzWorkspace workspace_;
};

}  // namespace

NORVID_FUZZ_HARNESS(QuarantineHarness)
