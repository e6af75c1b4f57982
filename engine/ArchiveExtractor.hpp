#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/ArchiveLimits.hpp"
#include "engine/ExtractionBudget.hpp"

namespace norvid {

// Unpacks archives into private temporary directories so that their members can be scanned,
// guarding against archive bombs and against entries that would land outside the directory.
// Holds only its limits: calls are independent and may run on several threads at once.
class ArchiveExtractor {
 public:
  explicit ArchiveExtractor(ArchiveLimits limits = {});

  const ArchiveLimits& limits() const { return limits_; }

  // True when the path is an existing regular file whose format word is not "unknown".
  bool isArchive(const std::string& path) const;

  // "zip", "rar", "7z" or "gzip" from the first bytes, "tar" for an unrecognised file whose name
  // ends with ".tar", otherwise (or when the path is not a readable regular file) "unknown".
  std::string detectFormat(const std::string& path) const;

  // Bytes of a file's start that detectFormat needs.
  static constexpr std::size_t kSniffBytes = 0x9001 + 8;

  // The format word of a file whose first `size` bytes are `head` and whose name is `name`.
  std::string detectFormat(const unsigned char* head, std::size_t size,
                           const std::string& name) const;

  // Creates a new, empty directory "av_extract_<id>" (mode 0700) in the system temporary
  // directory and returns its path. Throws std::filesystem::filesystem_error on failure.
  std::string createTempDirectory() const;

  // Writes the regular files and directories of the archive below `destination` (created when
  // missing) and returns the paths of the regular files written, in archive order. Links,
  // devices, FIFOs and entries that would land outside `destination` are left out; members that
  // repeat a name are written beside it with a "~N" suffix. The limits hold both for the sizes the
  // headers declare and for the bytes actually written. Throws avwindows::ArchiveBombException
  // when a limit is exceeded, std::runtime_error when the archive is missing or cannot be read,
  // std::filesystem::filesystem_error when the destination cannot be used; whatever this call
  // wrote is removed again before it throws.
  std::vector<std::string> extract(const std::string& archivePath,
                                   const std::string& destination) const;

  // As above, from an already-open descriptor (read from its start; the caller keeps it). Every
  // byte written is also taken from `budget`; ArchiveBombException when it runs out.
  std::vector<std::string> extract(int fd, const std::string& name, const std::string& destination,
                                   ExtractionBudget& budget) const;

  // Removes the directory with everything in it; a missing directory is not an error. Never
  // throws: a failure is reported on the standard error stream.
  void cleanup(const std::string& directory) const;

 private:
  std::vector<std::string> extractFrom(const std::string& archivePath, int fd,
                                       const std::string& destination,
                                       ExtractionBudget* budget) const;

  ArchiveLimits limits_;
};

}  // namespace norvid
