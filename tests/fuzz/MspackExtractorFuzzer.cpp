// Opens the input with libmspack as the format its first byte selects (CHM, SZDD or KWAJ, so
// that one corpus reaches all three) through the shared container-reader checks.

#include <string>

#include "engine/MspackExtractor.hpp"
#include "tests/fuzz/ContainerReaderHarness.hpp"
#include "tests/fuzz/FuzzEntry.hpp"

namespace {

using norvid::fuzzing::ContainerReaderHarness;

std::string formatFor(const std::string& bytes) {
  if (bytes.rfind("SZDD", 0) == 0) return "szdd";
  if (bytes.rfind("KWAJ", 0) == 0) return "kwaj";
  return "chm";
}

class MspackHarness {
 public:
  void run(const std::string& bytes) {
    format_ = formatFor(bytes);
    harness_.run(bytes);
  }

 private:
  std::string format_;
  ContainerReaderHarness harness_{
      "mspack", "SETUP.EX_", [this](const auto& input, norvid::MemberWriter& writer) {
        norvid::MspackExtractor::extract(input, format_, "SETUP.EX_", writer);
      }};
};

}  // namespace

NORVID_FUZZ_HARNESS(MspackHarness)
