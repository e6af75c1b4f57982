#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ArchiveLimits.hpp"
#include "engine/ExtractionBudget.hpp"

namespace norvid {

// Unpacks containers into private temporary directories so that their members can be scanned,
// guarding against archive bombs and against entries that would land outside the directory.
// Archives and compressed streams are read with libarchive, e-mail with GMime, OLE2 compound files
// with libgsf, CHM, SZDD and KWAJ files with libmspack. Holds only its limits and the folder its
// temporary directories go to: calls are independent and may run on several threads at once.
class ArchiveExtractor {
 public:
  // Bytes of a file's start that detectFormat needs to see to recognise every format (an ISO 9660
  // image is known by "CD001" as far in as 0x9001).
  static constexpr std::size_t kSniffBytes = 0x9001 + 8;

  // Temporary directories are made in `folder`, a folder of the caller's own (see emptyFolder).
  explicit ArchiveExtractor(std::string folder, ArchiveLimits limits = {});

  const ArchiveLimits& limits() const { return limits_; }
  const std::string& folder() const { return folder_; }

  // Makes `folder` an empty directory private to this process's user (mode 0700), so that no
  // extraction left behind by an earlier run, however it ended, outlives a start: creates it with
  // its parents, or removes everything in it; anything else at that name (a file, a link) is
  // replaced. Throws std::filesystem::filesystem_error.
  static void emptyFolder(const std::string& folder);

  // True when the path is an existing regular file whose format word is not "unknown".
  bool isArchive(const std::string& path) const;

  // The format word of the file at `path` (see below); "unknown" when the path is not a readable
  // regular file.
  std::string detectFormat(const std::string& path) const;

  // Every word detectFormat gives, "unknown" last. The one list of them: whatever checks a format
  // word (the tests, the fuzz targets) takes it from here, so a format added to detectFormat must
  // be added here too.
  static constexpr std::array<std::string_view, 27> kFormatWords = {
      "zip",  "rar",      "7z",   "gzip", "bzip2",   "xz",   "lzma", "zstd", "lz4",
      "lzip", "compress", "tar",  "cpio", "iso9660", "cab",  "ar",   "xar",  "lha",
      "rpm",  "warc",     "ole2", "chm",  "szdd",    "kwaj", "mbox", "mail", "unknown"};

  // True when `word` is one of kFormatWords.
  static bool isFormatWord(std::string_view word);

  // Format word from the first bytes of a file (`head` may be shorter than kSniffBytes for a short
  // file) and its name; "unknown" when it is none. "zip", "rar", "7z" and "gzip" come first by
  // their signatures; then "bzip2", "xz", "lzma", "zstd", "lz4", "lzip", "compress", "tar" (ustar
  // magic), "cpio", "iso9660", "cab", "ar", "xar", "lha", "rpm", "warc", "ole2", "chm", "szdd",
  // "kwaj", "mbox" and "mail" (header lines); last "tar" for a name ending with ".tar".
  std::string detectFormat(const unsigned char* head, std::size_t size,
                           const std::string& name) const;

  // Creates a new, empty directory "av_extract_<id>" (mode 0700) in the folder (created when
  // missing) and returns its path. Throws std::filesystem::filesystem_error on failure.
  std::string createTempDirectory() const;

  // Writes the members of the container below `destination` (created when missing) and returns
  // the paths of the regular files written, in container order. Links, devices, FIFOs and entries
  // that would land outside `destination` are left out; members that repeat a name are written
  // beside it with a "~N" suffix. The limits hold both for the sizes the headers declare and for
  // the bytes actually written. Throws avwindows::ArchiveBombException when a limit is exceeded,
  // std::runtime_error when the container is missing or cannot be read,
  // std::filesystem::filesystem_error when the destination cannot be used; whatever this call
  // wrote is removed again before it throws. The file is a top-level file: it gets a budget of
  // its own.
  std::vector<std::string> extract(const std::string& archivePath,
                                   const std::string& destination) const;

  // The same from an already-open descriptor, read from its start through a duplicate (the caller
  // keeps ownership; the descriptor's offset is moved). `name` is the file's name, for formats
  // recognised by name and for messages. Every byte written is also taken from `budget`; when it
  // runs out this throws avwindows::ArchiveBombException.
  std::vector<std::string> extract(int fd, const std::string& name, const std::string& destination,
                                   ExtractionBudget& budget) const;

  // Removes the directory with everything in it; a missing directory is not an error. Never
  // throws: a failure is reported on the standard error stream.
  void cleanup(const std::string& directory) const;

 private:
  std::vector<std::string> extractWithLibarchive(int fd, const std::string& format,
                                                 const std::string& name,
                                                 const std::string& destination, std::uint64_t size,
                                                 ExtractionBudget& budget) const;

  std::string folder_;
  ArchiveLimits limits_;
};

}  // namespace norvid
