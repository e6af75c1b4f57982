#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/VerdictCache.hpp"
#include "platform/SystemError.hpp"

namespace norvid {

// The file that keeps verdicts across restarts of the service. Layout, all integers little-endian:
//
//   8 bytes   "NVVERDCT"
//   4 bytes   format version (kVersion)
//   4 bytes   length H of the header, then H bytes of CBOR:
//             {"content": fingerprint, "exclusions": digest of the exclusion list, "entries": N}
//   N times   4 bytes length L, then L bytes of CBOR, one verdict:
//             {"p": path, "f": file-system id, "i": inode, "s": size, "m": mtime ns,
//              "c": ctime ns, "r": the ScanResult, "o": its console lines [[is-error, text]...]}
//   64 bytes  SHA-256 in hexadecimal of every byte before it
//
// A file is taken whole or not at all: any other magic or version, a bound exceeded, a record
// that does not parse or a checksum that does not match rejects it.
class VerdictFile {
 public:
  static constexpr std::uint32_t kVersion = 1;
  // Bounds on what is read: the whole file, the verdicts in it, and one verdict.
  static constexpr std::uint64_t kMaxFileBytes = 64ull * 1024 * 1024;
  static constexpr std::size_t kMaxEntries = VerdictCache::kDefaultMaxEntries;
  static constexpr std::uint32_t kMaxRecordBytes = 1024 * 1024;

  // One verdict, with its file named by an identity that holds across reboots.
  struct Entry {
    std::string path;
    std::uint64_t fileSystem = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    VerdictCache::Verdict verdict;
  };
  struct Contents {
    // The ContentFingerprint digest the verdicts were made under.
    std::string content;
    // The digest of the exclusion list they were made under.
    std::string exclusions;
    // Most recently used first.
    std::vector<Entry> entries;
  };

  // The bytes of a file holding `contents`.
  static std::string encode(const Contents& contents);

  // The contents of `bytes`; nullopt with the reason in `problem` when they are not a whole,
  // well-formed file of this version.
  static std::optional<Contents> decode(const std::string& bytes, std::string* problem);

  // Writes `contents` to `path` atomically, readable by its owner only (it names users' files).
  static platform::Result<> write(const std::string& path, const Contents& contents);

  // Reads `path`. nullopt with an empty `problem` when there is no such file; with the reason when
  // it cannot be read or is not a valid file.
  static std::optional<Contents> read(const std::string& path, std::string* problem);
};

}  // namespace norvid
