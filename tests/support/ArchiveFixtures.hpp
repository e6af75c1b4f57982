#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace norvid::testing {

// One member of an archive built for a test.
struct ArchiveMember {
  enum class Type { File, Directory, Symlink, Hardlink, Fifo, CharacterDevice };

  std::string name;
  // The data of a file; the target of a symbolic or hard link.
  std::string content;
  Type type = Type::File;

  static ArchiveMember file(std::string name, std::string content) {
    return {std::move(name), std::move(content), Type::File};
  }
  static ArchiveMember directory(std::string name) {
    return {std::move(name), "", Type::Directory};
  }
};

enum class ArchiveFormat { Zip, StoredZip, Tar, TarGz, SevenZip };

// Builds real archives with libarchive's writer, in memory or as files.
class ArchiveFixtures {
 public:
  // The bytes of an archive of `format` holding `members` in order.
  static std::string build(ArchiveFormat format, const std::vector<ArchiveMember>& members);

  // Writes such an archive to `path` (parents created) and returns the path.
  static std::string write(const std::string& path, ArchiveFormat format,
                           const std::vector<ArchiveMember>& members);

  // An archive holding an archive, `levels` archives deep in all: the innermost holds
  // `innermost`, every outer one holds only the next, named "level<N>" plus the extension.
  static std::string nested(ArchiveFormat format, int levels, const ArchiveMember& innermost);

  // The usual file extension: "zip", "tar", "tar.gz" or "7z".
  static std::string extension(ArchiveFormat format);

  // `count` small files "file<i>.txt".
  static std::vector<ArchiveMember> numberedFiles(int count);

  // A ZIP whose size fields (local headers, data descriptors, central directory) all claim
  // `declaredSize` uncompressed bytes, whatever the members really expand to.
  static std::string withDeclaredZipSizes(std::string zip, std::uint32_t declaredSize);

  // A cpio (newc) archive of "first.txt" and "second.txt", recorded as hard links of one file
  // but each carrying its own data, as that format allows.
  static std::string cpioLinkedPair(const std::string& first, const std::string& second);

  // A gzip-compressed tar whose members declare exactly `ratio` times the archive's own size in
  // total, plus `extraBytes`.
  static std::string atCompressionRatio(std::uint64_t ratio, std::uint64_t extraBytes);
};

}  // namespace norvid::testing
