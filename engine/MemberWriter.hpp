#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/ArchiveExpansion.hpp"
#include "engine/ArchiveLimits.hpp"
#include "engine/ExtractionBudget.hpp"
#include "engine/ExtractionPaths.hpp"
#include "platform/FileHandle.hpp"

namespace norvid {

// Writes the members of a container that a library hands over as names and bytes (mail parts,
// compound-file streams, help-file entries) below a destination directory, under the same limits
// as archives: entry count, entry size, compression ratio and the top-level file's budget. Member
// names are made safe (no absolute paths, no "." or ".." elements, no control characters) and
// every file is created new, never through a link. Unless complete() is called, everything written
// is removed again when the writer goes away.
class MemberWriter {
 public:
  // Creates `destination` when missing. Throws std::filesystem::filesystem_error.
  MemberWriter(const ArchiveLimits& limits, std::uint64_t containerSize, ExtractionBudget& budget,
               const std::string& destination);
  MemberWriter(const MemberWriter&) = delete;
  MemberWriter& operator=(const MemberWriter&) = delete;

  // Starts the next member, `name` a relative path with "/" between its elements; `declared` its
  // size when the container states one. Counts against the entry limit (throws
  // avwindows::ArchiveBombException past it). False when the member is left out: it declares more
  // than the entry size limit, or it cannot be placed (both with a warning); its data is then not
  // to be written.
  bool begin(const std::string& name, std::uint64_t declared = 0);

  // Writes the next bytes of the current member; throws avwindows::ArchiveBombException before a
  // limit would be passed.
  void write(const void* data, std::size_t size);

  // Bytes the current member may still take before write() throws.
  std::uint64_t allowance() const { return expansion_.allowance(); }

  // The current member's descriptor, for a library that writes the data itself; it must then
  // report what it wrote through wrote().
  int descriptor() const { return file_.descriptor(); }
  // Accounts for bytes written straight through descriptor(); throws like write().
  void wrote(std::uint64_t bytes);

  // Ends the current member and lists it.
  void finish();

  // Keeps everything written and returns the paths of the members, in order.
  std::vector<std::string> complete();

 private:
  const ArchiveLimits& limits_;
  ExtractionPaths created_;
  ArchiveExpansion expansion_;
  std::filesystem::path destination_;
  std::filesystem::path root_;
  std::int64_t entries_ = 0;
  platform::FileHandle file_;
  std::filesystem::path current_;
  std::uint64_t written_ = 0;
  std::vector<std::string> files_;
};

}  // namespace norvid
