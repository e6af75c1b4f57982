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

// How an attachment is carried in a test e-mail.
enum class MailEncoding { Base64, QuotedPrintable, Uuencode, AttachedMessage };

struct MailAttachment {
  ArchiveMember member;
  MailEncoding encoding;
};

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

  // Runs a shell command (a real tool building a sample); throws when it fails.
  static void run(const std::string& command);

  // The container kinds sample() builds, each with the real tool where one exists: "tar.bz2",
  // "bz2", "xz", "tar.xz", "lzma", "zst", "lz4", "lz", "Z", "cpio-newc", "cpio-odc", "cpio-bin",
  // "iso", "cab", "ar", "ustar" (a tar without the .tar name), "mail", "mbox", "ole2", "chm",
  // "szdd", "kwaj". The single-stream kinds (bz2, xz, lzma, zst, lz4, lz, Z, szdd, kwaj) hold only
  // the first member.
  static std::vector<std::string> sampleKinds();
  static bool isSingleStream(const std::string& kind);

  // Builds a container of `kind` holding `members` (plain files) in `directory` and returns its
  // path, named "sample" with the kind's usual extension ("sample.bin" for "ustar").
  static std::string sample(const std::string& kind, const std::vector<ArchiveMember>& members,
                            const std::string& directory);

  // An e-mail message with a short text body and the attachments, each under its name in the
  // encoding given; an AttachedMessage member's content is itself a message (message/rfc822).
  static std::string mail(const std::vector<MailAttachment>& attachments);

  // An OLE2 compound file written with libgsf, holding each member as a stream; a name with "/"
  // puts the stream into a storage.
  static std::string compoundFile(const std::vector<ArchiveMember>& streams);

  // The SZDD ("SETUP.EX_") and KWAJ forms of COMPRESS.EXE holding `content` (SZDD as literals
  // only, KWAJ stored uncompressed with the original name in its 8.3 form).
  static std::string szdd(const std::string& content, char missingCharacter);
  static std::string kwaj(const std::string& content, const std::string& originalName);

  // A CHM help file holding the members, stored uncompressed (content section 0) under "/" plus
  // their names, with one directory listing chunk.
  static std::string chm(const std::vector<ArchiveMember>& members);

  // A gzip-compressed tar whose members declare exactly `ratio` times the archive's own size in
  // total, plus `extraBytes`.
  static std::string atCompressionRatio(std::uint64_t ratio, std::uint64_t extraBytes);
};

}  // namespace norvid::testing
