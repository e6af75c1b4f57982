// Runs every file of a seed corpus directory once through a fuzz target's entry point, in file
// name order, the way the ordinary tests replay each target's corpus: a seed that breaks one of
// the target's properties aborts, one that crashes or leaks is caught by the sanitizers of the
// build, and any of them fails the test.
//
//   norvid_fuzz_replay_<target> CORPUS_DIRECTORY

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "tests/fuzz/FuzzWorkspace.hpp"

// A target may leave out the initialisation hook, as libFuzzer allows.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> seedsIn(const fs::path& directory) {
  std::vector<fs::path> seeds;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.is_regular_file()) seeds.push_back(entry.path());
  }
  std::sort(seeds.begin(), seeds.end());
  return seeds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " CORPUS_DIRECTORY" << std::endl;
    return 2;
  }
  const fs::path directory = argv[1];
  std::error_code error;
  if (!fs::is_directory(directory, error)) {
    std::cerr << "[ERROR] no corpus directory " << directory << std::endl;
    return 1;
  }
  const std::vector<fs::path> seeds = seedsIn(directory);
  if (seeds.empty()) {
    std::cerr << "[ERROR] the corpus " << directory << " holds no seeds" << std::endl;
    return 1;
  }
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  for (const fs::path& seed : seeds) {
    const std::string bytes = norvid::fuzzing::readWholeFile(seed);
    // Named before the run, so that the input that aborts the process is the last one shown.
    std::cerr << "[*] " << seed.filename().string() << " (" << bytes.size() << " bytes)"
              << std::endl;
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::cerr << "[OK] " << seeds.size() << " seeds replayed" << std::endl;
  return 0;
}
