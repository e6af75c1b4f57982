#pragma once

#include <functional>
#include <string>

#include "engine/ArchiveLimits.hpp"
#include "engine/MemberWriter.hpp"
#include "platform/DescriptorStream.hpp"
#include "tests/fuzz/FuzzWorkspace.hpp"

namespace norvid::fuzzing {

// Runs one container reader (mail, compound file, libmspack) on the input, the way the extractor
// does: from a descriptor, through a member writer into a fresh directory. Checks that every
// member is a regular file inside that directory, that the bytes written stay within the
// compression-ratio bound and the per-file budget, and that a failed extraction leaves nothing.
class ContainerReaderHarness {
 public:
  using Reader = std::function<void(const platform::DescriptorStream& input, MemberWriter& writer)>;

  ContainerReaderHarness(const std::string& name, std::string inputName, Reader reader);

  void run(const std::string& bytes);

 private:
  FuzzWorkspace workspace_;
  std::string inputName_;
  Reader reader_;
  ArchiveLimits limits_;
};

}  // namespace norvid::fuzzing
