// Opens the input as an OLE2 compound file with libgsf through the shared container-reader
// checks.

#include "engine/CompoundFileExtractor.hpp"
#include "tests/fuzz/ContainerReaderHarness.hpp"
#include "tests/fuzz/FuzzEntry.hpp"

namespace {

using norvid::fuzzing::ContainerReaderHarness;

class CompoundFileHarness {
 public:
  void run(const std::string& bytes) { harness_.run(bytes); }

 private:
  ContainerReaderHarness harness_{
      "ole2", "document.doc", [](const auto& input, norvid::MemberWriter& writer) {
        norvid::CompoundFileExtractor::extract(input, "document.doc", writer);
      }};
};

}  // namespace

NORVID_FUZZ_HARNESS(CompoundFileHarness)
