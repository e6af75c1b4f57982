#include "tests/fuzz/ContainerReaderHarness.hpp"

#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/ArchiveBombException.hpp"
#include "engine/ExtractionBudget.hpp"
#include "platform/FileHandle.hpp"
#include "tests/fuzz/FuzzCheck.hpp"

namespace norvid::fuzzing {
namespace {

namespace fs = std::filesystem;

bool liesInside(const fs::path& candidate, const fs::path& root) {
  const fs::path relative = candidate.lexically_normal().lexically_relative(root);
  return !relative.empty() && *relative.begin() != "..";
}

std::uintmax_t bytesBelow(const fs::path& directory) {
  std::uintmax_t total = 0;
  std::error_code error;
  if (!fs::exists(directory, error)) return 0;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    if (entry.is_regular_file() && !entry.is_symlink()) total += entry.file_size();
  }
  return total;
}

}  // namespace

ContainerReaderHarness::ContainerReaderHarness(const std::string& name, std::string inputName,
                                               Reader reader)
    : workspace_(name), inputName_(std::move(inputName)), reader_(std::move(reader)) {
  workspace_.redirectTemporaryDirectory();
}

void ContainerReaderHarness::run(const std::string& bytes) {
  const std::string input = workspace_.write(inputName_, bytes);
  const platform::FileHandle file =
      platform::FileHandle::openForReading(input).value_or(platform::FileHandle());
  require(file.isOpen(), "input opens");
  platform::Result<platform::DescriptorStream> duplicated =
      platform::DescriptorStream::openDuplicate(file.descriptor());
  require(duplicated.ok(), "descriptor duplicates");
  const platform::DescriptorStream stream = std::move(*duplicated);

  const fs::path destination = workspace_.freshDirectory("out");
  const fs::path root = fs::canonical(destination);
  ExtractionBudget budget = ExtractionBudget::forTopLevelFile(bytes.size());
  bool failed = false;
  std::vector<std::string> files;
  try {
    MemberWriter writer(limits_, bytes.size(), budget, destination.string());
    reader_(stream, writer);
    files = writer.complete();
  } catch (const avwindows::ArchiveBombException&) {
    failed = true;
  } catch (const std::runtime_error&) {
    failed = true;
  }

  for (const std::string& member : files) {
    require(liesInside(member, destination), "member path below the destination");
    require(fs::is_regular_file(fs::symlink_status(member)), "member is a regular file");
    require(liesInside(fs::canonical(member), root), "member resolves below the destination");
  }
  const std::uintmax_t written = bytesBelow(destination);
  require(!failed || written == 0, "a failed extraction leaves nothing behind");
  require(static_cast<double>(written) <=
              limits_.maxCompressionRatio * static_cast<double>(bytes.size()),
          "ratio bound on bytes written");
  require(written <= ExtractionBudget::forTopLevelFile(bytes.size()).remaining(),
          "budget bound on bytes written");
  workspace_.remove("out");
}

}  // namespace norvid::fuzzing
