// Loads the input as a hash list (.hdb, .hsb and .hashes alike: the format is decided per line)
// and matches a few small files against it, as the service does with every list a rule folder or a
// feed holds. Every line is either a signature or counted as malformed, and a file whose own
// SHA-256 the list names is matched.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/HashSignatures.hpp"
#include "tests/fuzz/FuzzCheck.hpp"
#include "tests/fuzz/FuzzEntry.hpp"
#include "tests/fuzz/FuzzWorkspace.hpp"

namespace {

using norvid::HashSignatures;
using norvid::fuzzing::FuzzWorkspace;
using norvid::fuzzing::require;

HashSignatures::Reader readerOf(const std::string& content) {
  return [&content](std::uint64_t offset, unsigned char* buffer, std::size_t size) {
    if (offset >= content.size()) return std::int64_t{0};
    const std::size_t count = std::min<std::size_t>(size, content.size() - offset);
    std::memcpy(buffer, content.data() + offset, count);
    return static_cast<std::int64_t>(count);
  };
}

class HashListHarness {
 public:
  HashListHarness() : workspace_("hash_list") {}

  void run(const std::string& bytes) {
    const std::string list = workspace_.write("fuzzed.hdb", bytes);
    HashSignatures signatures(64 * 1024 * 1024);
    const HashSignatures::ListLoad load = signatures.loadList(list);
    require(!load.unreadable, "a written list is readable");
    signatures.finish();
    require(signatures.count() <= load.loaded, "finishing never adds signatures");

    for (const std::string& content : {std::string(), std::string("a"), bytes.substr(0, 64)}) {
      bool complete = true;
      const auto names = signatures.match(content.size(), readerOf(content), &complete);
      require(complete, "an in-memory file reads whole");
      for (const std::string& name : names) require(!name.empty(), "a match has a name");
    }

    // A list naming a file's own SHA-256 with its size matches that file.
    const std::string known = "known content " + bytes.substr(0, 16);
    const std::string digest = HashSignatures::sha256Of(known.size(), readerOf(known));
    require(digest.size() == 64, "an in-memory file hashes");
    HashSignatures own(64 * 1024 * 1024);
    own.loadList(workspace_.write(
        "own.hsb", bytes + "\n" + digest + ":" + std::to_string(known.size()) + ":Own.Sig\n"));
    own.finish();
    const auto found = own.match(known.size(), readerOf(known));
    require(std::find(found.begin(), found.end(), "Own.Sig") != found.end(),
            "a listed SHA-256 with its size is matched whatever lines come before it");
  }

 private:
  FuzzWorkspace workspace_;
};

}  // namespace

NORVID_FUZZ_HARNESS(HashListHarness)
