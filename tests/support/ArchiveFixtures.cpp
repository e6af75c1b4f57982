#include "tests/support/ArchiveFixtures.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <gsf/gsf.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>

#include "engine/ArchiveHandle.hpp"
#include "engine/GObjectRef.hpp"

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

std::string base64(const std::string& data) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t at = 0; at < data.size(); at += 3) {
    std::uint32_t group = static_cast<std::uint8_t>(data[at]) << 16;
    if (at + 1 < data.size()) group |= static_cast<std::uint8_t>(data[at + 1]) << 8;
    if (at + 2 < data.size()) group |= static_cast<std::uint8_t>(data[at + 2]);
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += at + 1 < data.size() ? kAlphabet[(group >> 6) & 63] : '=';
    out += at + 2 < data.size() ? kAlphabet[group & 63] : '=';
    if ((at / 3 + 1) % 19 == 0) out += "\n";
  }
  return out + "\n";
}

std::string quotedPrintable(const std::string& data) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : data) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte == '=' || byte < 32 || byte > 126) {
      out += '=';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out + "\n";
}

std::string uuencode(const std::string& name, const std::string& data) {
  auto character = [](std::uint32_t value) {
    return static_cast<char>(value == 0 ? '`' : value + 32);
  };
  std::string out = "begin 644 " + name + "\n";
  for (std::size_t line = 0; line < data.size(); line += 45) {
    const std::size_t length = std::min<std::size_t>(45, data.size() - line);
    out += character(static_cast<std::uint32_t>(length));
    for (std::size_t at = line; at < line + length; at += 3) {
      std::uint32_t group = 0;
      for (std::size_t i = 0; i < 3; ++i) {
        group <<= 8;
        if (at + i < line + length) group |= static_cast<std::uint8_t>(data[at + i]);
      }
      for (int shift = 18; shift >= 0; shift -= 6) out += character((group >> shift) & 63);
    }
    out += "\n";
  }
  return out + "`\nend\n";
}

}  // namespace

void ArchiveFixtures::run(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status != 0) {
    throw std::runtime_error("sample tool failed (" + std::to_string(status) + "): " + command);
  }
}

std::vector<std::string> ArchiveFixtures::sampleKinds() {
  return {"tar.bz2", "bz2",       "xz",       "tar.xz",   "lzma", "zst", "lz4", "lz",
          "Z",       "cpio-newc", "cpio-odc", "cpio-bin", "iso",  "cab", "ar",  "ustar",
          "mail",    "mbox",      "ole2",     "chm",      "szdd", "kwaj"};
}

bool ArchiveFixtures::isSingleStream(const std::string& kind) {
  return kind == "bz2" || kind == "xz" || kind == "lzma" || kind == "zst" || kind == "lz4" ||
         kind == "lz" || kind == "Z" || kind == "szdd" || kind == "kwaj";
}

std::string ArchiveFixtures::sample(const std::string& kind,
                                    const std::vector<ArchiveMember>& members,
                                    const std::string& directory) {
  namespace fs = std::filesystem;
  const fs::path source = fs::path(directory) / ("members-" + kind);
  fs::remove_all(source);
  fs::create_directories(source);
  std::string names;
  for (const ArchiveMember& member : members) {
    std::ofstream(source / member.name, std::ios::binary) << member.content;
    names += " '" + member.name + "'";
  }
  const std::string first = "'" + (source / members.at(0).name).string() + "'";
  const std::string output =
      (fs::path(directory) / ("sample." + (kind == "ustar" ? std::string("bin") : kind))).string();
  const std::string out = "'" + output + "'";
  const std::string in = "cd '" + source.string() + "' && ";
  auto write = [&](const std::string& bytes) {
    std::ofstream file(output, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  };

  if (kind == "tar.bz2")
    run(in + "tar -cjf " + out + names);
  else if (kind == "tar.xz")
    run(in + "tar -cJf " + out + names);
  else if (kind == "ustar")
    run(in + "tar --format=ustar -cf " + out + names);
  else if (kind == "bz2")
    run("bzip2 -c " + first + " > " + out);
  else if (kind == "xz")
    run("xz -c " + first + " > " + out);
  else if (kind == "lzma")
    run("xz --format=lzma -c " + first + " > " + out);
  else if (kind == "zst")
    run("zstd -q -c " + first + " > " + out);
  else if (kind == "lz4")
    run("lz4 -q -c " + first + " > " + out);
  else if (kind == "lz")
    run("lzip -c " + first + " > " + out);
  else if (kind == "Z")
    run("compress -c " + first + " > " + out);
  else if (kind.rfind("cpio-", 0) == 0) {
    run(in + "printf '%s\\n'" + names + " | cpio --quiet -o -H " + kind.substr(5) + " > " + out);
  } else if (kind == "iso") {
    run("xorriso -as mkisofs -quiet -o " + out + " '" + source.string() + "' 2>/dev/null");
  } else if (kind == "cab")
    run(in + "gcab -c -z " + out + names);
  else if (kind == "ar")
    run(in + "ar rcS " + out + names);
  else if (kind == "mail" || kind == "mbox") {
    std::vector<MailAttachment> attachments;
    for (std::size_t i = 0; i < members.size(); ++i) {
      attachments.push_back(
          {members[i], i % 2 == 0 ? MailEncoding::Base64 : MailEncoding::Uuencode});
    }
    const std::string message = mail(attachments);
    write(kind == "mail" ? message
                         : "From sender@example.com Mon Jan  1 10:00:00 2024\n" + message +
                               "\nFrom other@example.com Mon Jan  1 11:00:00 2024\n" + mail({}));
  } else if (kind == "ole2")
    write(compoundFile(members));
  else if (kind == "chm")
    write(chm(members));
  else if (kind == "szdd")
    write(szdd(members.at(0).content, 'T'));
  else if (kind == "kwaj")
    write(kwaj(members.at(0).content, members.at(0).name));
  else
    throw std::invalid_argument("unknown sample kind: " + kind);
  fs::remove_all(source);
  return output;
}

std::string ArchiveFixtures::mail(const std::vector<MailAttachment>& attachments) {
  const std::string boundary = "=_norvid_boundary_";
  std::string out =
      "From: Sender <sender@example.com>\nTo: someone@example.com\nSubject: samples\n"
      "Date: Mon, 1 Jan 2024 10:00:00 +0000\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"" +
      boundary +
      "\"\n\n"
      "This is a multi-part message in MIME format.\n\n--" +
      boundary + "\nContent-Type: text/plain; charset=us-ascii\n\nPlease see the attachments.\n";
  for (const MailAttachment& attachment : attachments) {
    const ArchiveMember& member = attachment.member;
    out += "\n--" + boundary + "\n";
    switch (attachment.encoding) {
      case MailEncoding::Base64:
        out += "Content-Type: application/octet-stream; name=\"" + member.name +
               "\"\nContent-Transfer-Encoding: base64\nContent-Disposition: attachment; "
               "filename=\"" +
               member.name + "\"\n\n" + base64(member.content);
        break;
      case MailEncoding::QuotedPrintable:
        out += "Content-Type: text/plain; name=\"" + member.name +
               "\"\nContent-Transfer-Encoding: quoted-printable\nContent-Disposition: "
               "attachment; filename=\"" +
               member.name + "\"\n\n" + quotedPrintable(member.content);
        break;
      case MailEncoding::Uuencode:
        out += "Content-Type: application/octet-stream; name=\"" + member.name +
               "\"\nContent-Transfer-Encoding: x-uuencode\nContent-Disposition: attachment; "
               "filename=\"" +
               member.name + "\"\n\n" + uuencode(member.name, member.content);
        break;
      case MailEncoding::AttachedMessage:
        out += "Content-Type: message/rfc822\nContent-Disposition: attachment; filename=\"" +
               member.name + "\"\n\n" + member.content;
        break;
    }
  }
  return out + "\n--" + boundary + "--\n";
}

std::string ArchiveFixtures::compoundFile(const std::vector<ArchiveMember>& streams) {
  static const bool initialised = [] {
    gsf_init();
    return true;
  }();
  (void)initialised;
  GObjectRef<GsfOutput> sink(gsf_output_memory_new());
  GObjectRef<GsfOutfile> root(gsf_outfile_msole_new(sink.get()));
  if (!root) throw std::runtime_error("gsf_outfile_msole_new failed");
  std::vector<std::pair<std::string, GObjectRef<GsfOutput>>> storages;
  for (const ArchiveMember& stream : streams) {
    GsfOutfile* parent = root.get();
    std::string name = stream.name;
    if (const std::size_t slash = name.find('/'); slash != std::string::npos) {
      const std::string storageName = name.substr(0, slash);
      name = name.substr(slash + 1);
      auto found = std::find_if(storages.begin(), storages.end(),
                                [&](const auto& entry) { return entry.first == storageName; });
      if (found == storages.end()) {
        storages.emplace_back(storageName, GObjectRef<GsfOutput>(gsf_outfile_new_child(
                                               root.get(), storageName.c_str(), TRUE)));
        found = std::prev(storages.end());
      }
      parent = GSF_OUTFILE(found->second.get());
    }
    GObjectRef<GsfOutput> child(gsf_outfile_new_child(parent, name.c_str(), FALSE));
    gsf_output_write(child.get(), stream.content.size(),
                     reinterpret_cast<const guint8*>(stream.content.data()));
    gsf_output_close(child.get());
  }
  for (auto& storage : storages) gsf_output_close(storage.second.get());
  gsf_output_close(GSF_OUTPUT(root.get()));
  GsfOutputMemory* memory = GSF_OUTPUT_MEMORY(sink.get());
  const guint8* bytes = gsf_output_memory_get_bytes(memory);
  return std::string(reinterpret_cast<const char*>(bytes),
                     static_cast<std::size_t>(gsf_output_size(sink.get())));
}

std::string ArchiveFixtures::szdd(const std::string& content, char missingCharacter) {
  std::string out("SZDD\x88\xF0\x27\x33\x41", 9);
  out += missingCharacter;
  out += std::string(4, '\0');
  patchLe32(out, 10, static_cast<std::uint32_t>(content.size()));
  // A control byte of all ones: the next eight bytes are literals.
  for (std::size_t at = 0; at < content.size(); at += 8) {
    out += '\xFF';
    out += content.substr(at, 8);
  }
  return out;
}

std::string ArchiveFixtures::kwaj(const std::string& content, const std::string& originalName) {
  // Header: magic, method 0 (stored), offset of the data, flags (bits 3 and 4: the name, at most
  // eight letters, and the extension, at most three, follow).
  const std::size_t dot = originalName.rfind('.');
  const std::string stem = originalName.substr(0, std::min<std::size_t>(dot, 8));
  const std::string extension = dot == std::string::npos ? "" : originalName.substr(dot + 1, 3);
  const std::string names = stem + '\0' + extension + '\0';
  const auto dataOffset = static_cast<std::uint16_t>(14 + names.size());
  std::string header("KWAJ\x88\xF0\x27\xD1", 8);
  header += std::string("\0\0", 2);
  header += static_cast<char>(dataOffset & 0xFF);
  header += static_cast<char>(dataOffset >> 8);
  header += std::string("\x18\0", 2);
  return header + names + content;
}

std::string ArchiveFixtures::chm(const std::vector<ArchiveMember>& members) {
  auto le32 = [](std::uint32_t value) {
    std::string bytes(4, '\0');
    patchLe32(bytes, 0, value);
    return bytes;
  };
  auto le64 = [&](std::uint64_t value) {
    return le32(static_cast<std::uint32_t>(value)) + le32(static_cast<std::uint32_t>(value >> 32));
  };
  auto encint = [](std::uint64_t value) {
    std::string bytes(1, static_cast<char>(value & 0x7F));
    while ((value >>= 7) != 0)
      bytes.insert(bytes.begin(), static_cast<char>(0x80 | (value & 0x7F)));
    return bytes;
  };
  const std::string guids(
      "\x10\xFD\x01\x7C\xAA\x7B\xD0\x11\x9E\x0C\x00\xA0\xC9\x22\xE6\xEC"
      "\x11\xFD\x01\x7C\xAA\x7B\xD0\x11\x9E\x0C\x00\xA0\xC9\x22\xE6\xEC",
      32);
  constexpr std::uint32_t kChunkSize = 4096;
  constexpr std::uint64_t kHeaderLength = 0x60;
  constexpr std::uint64_t kSection0Length = 0x18;
  constexpr std::uint64_t kDirectoryHeaderLength = 0x54;
  const std::uint64_t directoryOffset = kHeaderLength + kSection0Length;
  const std::uint64_t contentOffset = directoryOffset + kDirectoryHeaderLength + kChunkSize;

  std::string entries;
  std::string content;
  for (const ArchiveMember& member : members) {
    const std::string name = "/" + member.name;
    entries += encint(name.size()) + name + encint(0) + encint(content.size()) +
               encint(member.content.size());
    content += member.content;
  }
  std::string chunk = "PMGL" + le32(static_cast<std::uint32_t>(kChunkSize - 20 - entries.size())) +
                      le32(0) + le32(0xFFFFFFFF) + le32(0xFFFFFFFF) + entries;
  chunk.resize(kChunkSize - 2, '\0');
  chunk += static_cast<char>(members.size() & 0xFF);
  chunk += static_cast<char>(members.size() >> 8);

  const std::uint64_t fileLength = contentOffset + content.size();
  std::string out = "ITSF" + le32(3) + le32(static_cast<std::uint32_t>(kHeaderLength)) + le32(1) +
                    le32(0) + le32(0x409) + guids + le64(kHeaderLength) + le64(kSection0Length) +
                    le64(directoryOffset) + le64(kDirectoryHeaderLength + kChunkSize) +
                    le64(contentOffset);
  out += le32(0x1FE) + le32(0) + le64(fileLength) + le32(0) + le32(0);
  out += "ITSP" + le32(1) + le32(static_cast<std::uint32_t>(kDirectoryHeaderLength)) + le32(10) +
         le32(kChunkSize) + le32(2) + le32(1) + le32(0xFFFFFFFF) + le32(0) + le32(0) +
         le32(0xFFFFFFFF) + le32(1) + le32(0x409) + std::string(16, '\0') +
         le32(static_cast<std::uint32_t>(kDirectoryHeaderLength)) + le32(0xFFFFFFFF) +
         le32(0xFFFFFFFF) + le32(0xFFFFFFFF);
  return out + chunk + content;
}

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
