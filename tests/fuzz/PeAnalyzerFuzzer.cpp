// Analyses the input as a Windows executable and checks the result's own invariants: score and
// risk level in range and consistent, entropies between 0 and 8 bits, the section bound, and no
// sections for a file that is not a PE image.

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/PeAnalyzer.hpp"
#include "tests/fuzz/FuzzCheck.hpp"
#include "tests/fuzz/FuzzEntry.hpp"
#include "tests/fuzz/FuzzWorkspace.hpp"

namespace {

using norvid::fuzzing::FuzzWorkspace;
using norvid::fuzzing::require;

constexpr std::size_t kMaxSections = 96;

// Rounding may carry a sum of -p log p a hair past its bounds.
bool isEntropy(double value) { return value >= -1e-9 && value <= 8.0 + 1e-9; }

class PeHarness {
 public:
  PeHarness() : workspace_("pe") {}

  void run(const std::string& bytes) {
    const std::string path = workspace_.write("image.exe", bytes);
    const bool startsWithMz = bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z';
    require(analyzer_.isPeFile(path) == startsWithMz, "isPeFile is the MZ check");

    const norvid::PeAnalysisResult result = analyzer_.analyze(path);
    require(result.score >= 0 && result.score <= 100, "score in 0..100");
    require(result.riskLevel == norvid::PeAnalyzer::riskLevelForScore(result.score),
            "risk level follows the score");
    require(result.sections.size() <= kMaxSections, "section bound");
    require(result.isPE || result.sections.empty(), "no sections without a PE header");
    require(result.isPE || result.indicators.size() == 1, "one reason for a non-PE file");
    if (result.isPE) require(isEntropy(result.entropy), "file entropy in 0..8");
    for (const norvid::PeSection& section : result.sections) {
      require(isEntropy(section.entropy), "section entropy in 0..8");
      require(section.name.size() <= 8, "section name of at most 8 bytes");
    }
  }

 private:
  FuzzWorkspace workspace_;
  norvid::PeAnalyzer analyzer_;
};

}  // namespace

NORVID_FUZZ_HARNESS(PeHarness)
