#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace norvid {

// One quarantined file: where it came from, where its coded copy lives and what was found in it.
struct QuarantineEntry {
  std::string id;
  std::string original_path;
  std::string quarantine_path;
  std::string threat_name;
  // Kept at clock resolution in memory; metadata.json stores whole seconds.
  std::chrono::system_clock::time_point quarantine_date;
  std::uint64_t file_size = 0;
  // 64 lower-case hex digits, or "unknown" when the hash could not be computed.
  std::string file_hash;
  std::string scan_engine = "YARA";
};

}  // namespace norvid
