#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace norvid {

// One entry of a PE section table.
struct PeSection {
  // The 8-byte section name up to its first zero byte.
  std::string name;
  std::uint32_t virtualSize = 0;
  std::uint32_t rawSize = 0;
  // Entropy of the section's raw data (at most its first MiB), in bits per byte.
  double entropy = 0.0;
  bool executable = false;
  bool writable = false;
  // Virtual and raw size differ by more than a factor of 2.
  bool sizeMismatch = false;
};

// Heuristic findings on a Windows executable. They never change a scan verdict.
struct PeAnalysisResult {
  // The file has both the MZ and the PE signature.
  bool isPE = false;
  // The machine field is x86 (0x014C); stays true unless a valid PE header says otherwise.
  bool is32Bit = true;
  // The packer recognised, or empty.
  std::string packer;
  // Entropy of the file's first 10 MiB, 0.0 to 8.0 bits per byte.
  double entropy = 0.0;
  std::vector<PeSection> sections;
  // Imported functions judged suspicious; the analysis does not read the import table yet.
  std::vector<std::string> suspiciousImports;
  // The reasons found, in scoring order.
  std::vector<std::string> indicators;
  // 0 (none) to 4 (critical), derived from the score.
  std::int32_t riskLevel = 0;
  // 0 to 100.
  std::int32_t score = 0;
};

}  // namespace norvid
