#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct _YR_COMPILER;
struct YR_SCAN_CONTEXT;

namespace norvid {

// The external variables every scan defines for the rules, as public rule collections expect
// them: `filename` (the file's or archive member's name), `filepath` (its folder), `extension`
// (lower-case with the dot, or empty), `filetype` (a short upper-case type read from the first
// bytes, or empty) and `owner` (the owner's user name). Rule sources are compiled with all five
// declared (empty), so rules that use them compile; each scan then sets them for its file.
struct ScanVariables {
  std::string filename;
  std::string filepath;
  std::string extension;
  std::string filetype;
  std::string owner;

  // Reads up to `size` bytes at `offset` into `buffer`; gives how many were read.
  using ByteReader =
      std::function<std::size_t(std::uint64_t offset, unsigned char* buffer, std::size_t size)>;

  // The name, folder and extension of `path` (the path a user knows the file by) and `owner`;
  // the type is left to the scan, which has the bytes.
  static ScanVariables forPath(const std::string& path, std::string owner);

  // The extension of a file name: from its last dot, lower-case; empty when the name has no dot
  // or its only dot is the first character.
  static std::string extensionOf(const std::string& fileName);

  // The type word of content read through `read`: "EXE", "ELF", "ZIP", "PDF", "RAR", "7Z",
  // "GZIP", "MSI" (an installer database) or "OLE" (any other compound file), "SCRIPT" (#!),
  // otherwise empty.
  static std::string fileTypeOf(const ByteReader& read);

  // Declares the five variables (empty) on a compiler before any source is added; libyara's code.
  static int declareOn(_YR_COMPILER* compiler);

  // Sets the variables on a scanner for its next scan. A rule set saved elsewhere without them
  // simply ignores them.
  void defineOn(YR_SCAN_CONTEXT* scanner) const;
};

}  // namespace norvid
