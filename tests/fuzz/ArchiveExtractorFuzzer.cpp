// Unpacks the input as an archive, the way the scanner does: into a fresh extraction directory in
// the workspace's extraction folder, which is removed again after every run. Checks that
// nothing lands outside that directory, that every reported member is a regular file inside it,
// that the bytes written stay within the compression-ratio bound, and that a failed extraction
// leaves nothing behind.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "engine/ArchiveBombException.hpp"
#include "engine/ArchiveExtractor.hpp"
#include "tests/fuzz/FuzzCheck.hpp"
#include "tests/fuzz/FuzzEntry.hpp"
#include "tests/fuzz/FuzzWorkspace.hpp"

namespace {

namespace fs = std::filesystem;
using norvid::fuzzing::FuzzWorkspace;
using norvid::fuzzing::require;

bool isEmptyDirectory(const fs::path& directory) {
  std::error_code error;
  return fs::is_directory(directory, error) && fs::is_empty(directory, error) && !error;
}

bool liesInside(const fs::path& candidate, const fs::path& root) {
  const fs::path relative = candidate.lexically_normal().lexically_relative(root);
  return !relative.empty() && *relative.begin() != "..";
}

// Bytes held by the regular files below `directory`, links not followed.
std::uintmax_t bytesBelow(const fs::path& directory) {
  std::uintmax_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    if (entry.is_regular_file() && !entry.is_symlink()) total += entry.file_size();
  }
  return total;
}

class ArchiveHarness {
 public:
  ArchiveHarness() : workspace_("archive"), extractor_(workspace_.freshDirectory("extract")) {}

  void run(const std::string& bytes) {
    // The ".tar" name also drives detectFormat's fallback for headers it does not recognise.
    const std::string input = workspace_.write("input/member.tar", bytes);
    const std::string format = extractor_.detectFormat(input);
    require(norvid::ArchiveExtractor::isFormatWord(format) && format != "unknown",
            "detectFormat gives one of its format words, never unknown (the name ends with .tar)");

    const fs::path folder = extractor_.folder();
    const fs::path destination = extractor_.createTempDirectory();
    require(destination.parent_path() == folder, "extraction directory in its folder");
    bool failed = false;
    std::vector<std::string> files;
    try {
      files = extractor_.extract(input, destination.string());
    } catch (const avwindows::ArchiveBombException&) {
      failed = true;
    } catch (const std::runtime_error&) {
      failed = true;
    }

    const fs::path root = fs::canonical(destination);
    for (const std::string& file : files) {
      require(liesInside(file, destination), "member path below the destination");
      require(fs::is_regular_file(fs::symlink_status(file)), "member is a regular file");
      require(liesInside(fs::canonical(file), root), "member resolves below the destination");
    }
    require(!failed || isEmptyDirectory(destination), "a failed extraction leaves nothing behind");
    const double bound =
        extractor_.limits().maxCompressionRatio * static_cast<double>(bytes.size());
    require(static_cast<double>(bytesBelow(destination)) <= bound, "ratio bound on bytes written");
    for (const auto& entry : fs::directory_iterator(folder)) {
      require(entry.path() == destination, "nothing written beside the extraction directory");
    }

    extractor_.cleanup(destination.string());
    require(!fs::exists(fs::symlink_status(destination)), "cleanup removes the directory");
  }

 private:
  FuzzWorkspace workspace_;
  norvid::ArchiveExtractor extractor_;
};

}  // namespace

NORVID_FUZZ_HARNESS(ArchiveHarness)
