#include "tests/support/ArchiveFixtures.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>

#include "engine/ArchiveHandle.hpp"

namespace norvid::testing {
namespace {

struct EntryDeleter {
  void operator()(struct archive_entry* entry) const { archive_entry_free(entry); }
};
using EntryOwner = std::unique_ptr<struct archive_entry, EntryDeleter>;

la_ssize_t appendToString(struct archive*, void* target, const void* data, std::size_t size) {
  static_cast<std::string*>(target)->append(static_cast<const char*>(data), size);
  return static_cast<la_ssize_t>(size);
}

void check(int status, const ArchiveHandle& writer, const char* what) {
  if (status < ARCHIVE_WARN) {
    throw std::runtime_error(std::string(what) + ": " + writer.errorText());
  }
}

void selectFormat(const ArchiveHandle& writer, ArchiveFormat format) {
  struct archive* handle = writer.get();
  switch (format) {
    case ArchiveFormat::Zip:
      check(archive_write_set_format_zip(handle), writer, "zip format");
      check(archive_write_set_options(handle, "zip:compression=deflate"), writer, "deflate");
      return;
    case ArchiveFormat::StoredZip:
      check(archive_write_set_format_zip(handle), writer, "zip format");
      check(archive_write_set_options(handle, "zip:compression=store"), writer, "store");
      return;
    case ArchiveFormat::Tar:
      check(archive_write_set_format_pax_restricted(handle), writer, "tar format");
      return;
    case ArchiveFormat::TarGz:
      check(archive_write_set_format_pax_restricted(handle), writer, "tar format");
      check(archive_write_add_filter_gzip(handle), writer, "gzip filter");
      return;
    case ArchiveFormat::SevenZip:
      check(archive_write_set_format_7zip(handle), writer, "7z format");
      return;
  }
}

void addMember(const ArchiveHandle& writer, const ArchiveMember& member) {
  EntryOwner entry(archive_entry_new());
  archive_entry_set_pathname(entry.get(), member.name.c_str());
  archive_entry_set_mtime(entry.get(), 1'700'000'000, 0);
  bool hasData = false;
  switch (member.type) {
    case ArchiveMember::Type::File:
      archive_entry_set_filetype(entry.get(), AE_IFREG);
      archive_entry_set_perm(entry.get(), 0644);
      archive_entry_set_size(entry.get(), static_cast<la_int64_t>(member.content.size()));
      hasData = true;
      break;
    case ArchiveMember::Type::Directory:
      archive_entry_set_filetype(entry.get(), AE_IFDIR);
      archive_entry_set_perm(entry.get(), 0755);
      break;
    case ArchiveMember::Type::Symlink:
      archive_entry_set_filetype(entry.get(), AE_IFLNK);
      archive_entry_set_perm(entry.get(), 0777);
      archive_entry_set_symlink(entry.get(), member.content.c_str());
      break;
    case ArchiveMember::Type::Hardlink:
      archive_entry_set_filetype(entry.get(), AE_IFREG);
      archive_entry_set_perm(entry.get(), 0644);
      archive_entry_set_hardlink(entry.get(), member.content.c_str());
      archive_entry_set_size(entry.get(), 0);
      break;
    case ArchiveMember::Type::Fifo:
      archive_entry_set_filetype(entry.get(), AE_IFIFO);
      archive_entry_set_perm(entry.get(), 0644);
      break;
    case ArchiveMember::Type::CharacterDevice:
      archive_entry_set_filetype(entry.get(), AE_IFCHR);
      archive_entry_set_perm(entry.get(), 0644);
      archive_entry_set_rdevmajor(entry.get(), 1);
      archive_entry_set_rdevminor(entry.get(), 3);
      break;
  }
  check(archive_write_header(writer.get(), entry.get()), writer, "header");
  if (hasData && !member.content.empty()) {
    const la_ssize_t written =
        archive_write_data(writer.get(), member.content.data(), member.content.size());
    if (written != static_cast<la_ssize_t>(member.content.size())) {
      throw std::runtime_error(std::string("data: ") + writer.errorText());
    }
  }
}

void patchLe32(std::string& bytes, std::size_t offset, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    bytes[offset++] = static_cast<char>((value >> shift) & 0xFF);
  }
}

std::string randomBytes(std::size_t size) {
  std::mt19937 generator(12345);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

}  // namespace

std::string ArchiveFixtures::build(ArchiveFormat format,
                                   const std::vector<ArchiveMember>& members) {
  std::string bytes;
  ArchiveHandle writer(archive_write_new(), archive_write_free);
  if (!writer) throw std::runtime_error("archive_write_new failed");
  selectFormat(writer, format);
  check(archive_write_set_bytes_in_last_block(writer.get(), 1), writer, "last block");
  check(archive_write_open(writer.get(), &bytes, nullptr, appendToString, nullptr), writer, "open");
  for (const ArchiveMember& member : members) addMember(writer, member);
  check(archive_write_close(writer.get()), writer, "close");
  return bytes;
}

std::string ArchiveFixtures::write(const std::string& path, ArchiveFormat format,
                                   const std::vector<ArchiveMember>& members) {
  const std::string bytes = build(format, members);
  const std::filesystem::path target(path);
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
  return path;
}

std::string ArchiveFixtures::nested(ArchiveFormat format, int levels,
                                    const ArchiveMember& innermost) {
  std::string bytes = build(format, {innermost});
  for (int level = levels - 1; level >= 1; --level) {
    const std::string name = "level" + std::to_string(level + 1) + "." + extension(format);
    bytes = build(format, {ArchiveMember::file(name, bytes)});
  }
  return bytes;
}

std::string ArchiveFixtures::extension(ArchiveFormat format) {
  switch (format) {
    case ArchiveFormat::Zip:
    case ArchiveFormat::StoredZip:
      return "zip";
    case ArchiveFormat::Tar:
      return "tar";
    case ArchiveFormat::TarGz:
      return "tar.gz";
    case ArchiveFormat::SevenZip:
      return "7z";
  }
  return "bin";
}

std::vector<ArchiveMember> ArchiveFixtures::numberedFiles(int count) {
  std::vector<ArchiveMember> members;
  members.reserve(static_cast<std::size_t>(count));
  for (int index = 0; index < count; ++index) {
    members.push_back(ArchiveMember::file("file" + std::to_string(index) + ".txt", "x"));
  }
  return members;
}

std::string ArchiveFixtures::withDeclaredZipSizes(std::string zip, std::uint32_t declaredSize) {
  // Signatures with the offset of their uncompressed-size field.
  struct Record {
    const char* signature;
    std::size_t sizeField;
  };
  static const Record kRecords[] = {{"PK\x03\x04", 22}, {"PK\x07\x08", 12}, {"PK\x01\x02", 24}};
  for (const Record& record : kRecords) {
    for (std::size_t at = zip.find(record.signature, 0, 4); at != std::string::npos;
         at = zip.find(record.signature, at + 4, 4)) {
      if (at + record.sizeField + 4 <= zip.size())
        patchLe32(zip, at + record.sizeField, declaredSize);
    }
  }
  return zip;
}

std::string ArchiveFixtures::cpioLinkedPair(const std::string& first, const std::string& second) {
  std::string bytes;
  ArchiveHandle writer(archive_write_new(), archive_write_free);
  if (!writer) throw std::runtime_error("archive_write_new failed");
  check(archive_write_set_format_cpio_newc(writer.get()), writer, "cpio format");
  check(archive_write_set_bytes_in_last_block(writer.get(), 1), writer, "last block");
  check(archive_write_open(writer.get(), &bytes, nullptr, appendToString, nullptr), writer, "open");
  for (const auto& [name, content] : {std::pair{"first.txt", first}, {"second.txt", second}}) {
    EntryOwner entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), name);
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    archive_entry_set_dev(entry.get(), 1);
    archive_entry_set_ino(entry.get(), 42);
    archive_entry_set_nlink(entry.get(), 2);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(content.size()));
    check(archive_write_header(writer.get(), entry.get()), writer, "header");
    archive_write_data(writer.get(), content.data(), content.size());
  }
  check(archive_write_close(writer.get()), writer, "close");
  return bytes;
}

std::string ArchiveFixtures::atCompressionRatio(std::uint64_t ratio, std::uint64_t extraBytes) {
  // Random bytes keep the archive from shrinking to nothing, zeros set the declared total, and
  // zero bytes after the gzip stream (which readers ignore) set the file size exactly.
  const std::string noise = randomBytes(2048);
  std::uint64_t zeros = ratio * noise.size();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string archive =
        build(ArchiveFormat::TarGz, {ArchiveMember::file("noise.bin", noise),
                                     ArchiveMember::file("zeros.bin", std::string(zeros, '\0'))});
    const std::uint64_t declared = noise.size() + zeros;
    if (declared >= extraBytes && (declared - extraBytes) % ratio == 0 &&
        (declared - extraBytes) / ratio >= archive.size()) {
      return archive + std::string((declared - extraBytes) / ratio - archive.size(), '\0');
    }
    // Enough zeros for the current size, rounded up to a whole multiple of the ratio.
    const std::uint64_t wanted = std::max(ratio * archive.size() + extraBytes, declared + 1);
    zeros = wanted + (ratio - (wanted - extraBytes) % ratio) % ratio - noise.size();
  }
  throw std::runtime_error("no archive found at the requested compression ratio");
}

}  // namespace norvid::testing
