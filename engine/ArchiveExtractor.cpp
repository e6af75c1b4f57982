#include "engine/ArchiveExtractor.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "engine/ArchiveBombException.hpp"
#include "engine/ArchiveExpansion.hpp"
#include "engine/ArchiveHandle.hpp"
#include "engine/CompoundFileExtractor.hpp"
#include "engine/ExtractionPaths.hpp"
#include "engine/MailExtractor.hpp"
#include "engine/MemberWriter.hpp"
#include "engine/MspackExtractor.hpp"
#include "platform/DescriptorStream.hpp"
#include "platform/FileHandle.hpp"
#include "platform/RandomId.hpp"
#include "platform/SystemError.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;

// Restore modification times, never replace an existing file, refuse to write through symlinks
// and refuse ".." path elements.
constexpr int kDiskWriteOptions = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_NO_OVERWRITE |
                                  ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT;
static_assert(kDiskWriteOptions == 0x30C);
constexpr std::size_t kReadBlockSize = 10240;
constexpr int kMaxCreateAttempts = 8;
// Extracted members are only read by the scanner: private to the service, never executable.
constexpr la_int64_t kFileMode = 0600;
constexpr la_int64_t kDirectoryMode = 0700;

// The file's first bytes, with the bytes it does not have counted as zero.
class Head {
 public:
  Head(const unsigned char* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

  unsigned char at(std::size_t offset) const { return offset < size_ ? bytes_[offset] : 0; }

  bool has(std::size_t offset, const char* text, std::size_t length) const {
    if (offset + length > size_) return false;
    return std::memcmp(bytes_ + offset, text, length) == 0;
  }
  template <std::size_t N>
  bool has(std::size_t offset, const char (&text)[N]) const {
    return has(offset, text, N - 1);
  }

  std::uint32_t le32(std::size_t offset) const {
    return static_cast<std::uint32_t>(at(offset)) |
           static_cast<std::uint32_t>(at(offset + 1)) << 8 |
           static_cast<std::uint32_t>(at(offset + 2)) << 16 |
           static_cast<std::uint32_t>(at(offset + 3)) << 24;
  }

 private:
  const unsigned char* bytes_;
  std::size_t size_;
};

// A raw LZMA ("lzma alone") stream has no magic: properties 0x5D (the encoders' default), a
// dictionary size of 2^n or 2^n + 2^(n-1), and an unpacked size that is unknown (all ones) or
// plausible.
bool looksLikeLzma(const Head& head) {
  if (head.at(0) != 0x5D) return false;
  const std::uint32_t dictionary = head.le32(1);
  bool shaped = false;
  for (int bit = 12; bit <= 30 && !shaped; ++bit) {
    shaped = dictionary == (1u << bit) || dictionary == ((1u << bit) | (1u << (bit - 1)));
  }
  if (!shaped) return false;
  bool unknownSize = true;
  for (std::size_t i = 5; i < 13; ++i) unknownSize = unknownSize && head.at(i) == 0xFF;
  return unknownSize || (head.at(10) == 0 && head.at(11) == 0 && head.at(12) == 0);
}

bool looksLikeLha(const Head& head) {
  return head.at(2) == '-' && head.at(3) == 'l' && (head.at(4) == 'h' || head.at(4) == 'z') &&
         head.at(6) == '-' && head.at(20) <= 3;
}

// Formats that are one compressed stream: when no archive format is found inside, the stream
// itself is the one member.
bool isCompressedStream(const std::string& format) {
  return format == "gzip" || format == "bzip2" || format == "xz" || format == "lzma" ||
         format == "zstd" || format == "lz4" || format == "lzip" || format == "compress";
}

// Every archive format libarchive reads except mtree, whose entries name files on this machine
// for the reader to open: a user's "archive" could make the service copy any file it can read.
void enableArchiveFormats(struct archive* reader) {
  archive_read_support_format_7zip(reader);
  archive_read_support_format_ar(reader);
  archive_read_support_format_cab(reader);
  archive_read_support_format_cpio(reader);
  archive_read_support_format_empty(reader);
  archive_read_support_format_iso9660(reader);
  archive_read_support_format_lha(reader);
  archive_read_support_format_rar(reader);
  archive_read_support_format_rar5(reader);
  archive_read_support_format_tar(reader);
  archive_read_support_format_warc(reader);
  archive_read_support_format_xar(reader);
  archive_read_support_format_zip(reader);
}

// The member name of a single compressed stream: the container's name without its last
// extension ("notes.txt.bz2" gives "notes.txt").
std::string streamMemberName(const std::string& containerName) {
  const fs::path stem = fs::path(containerName).filename().stem();
  return stem.empty() || stem == "." || stem == ".." ? "data" : stem.string();
}

// A hard link without data only repeats a member already written; one that carries data (as cpio
// allows) is written as a file of its own, never as a link.
bool isRegularFileEntry(struct archive_entry* entry) {
  return archive_entry_filetype(entry) == AE_IFREG &&
         (archive_entry_hardlink(entry) == nullptr || archive_entry_size(entry) > 0);
}

bool isDirectoryEntry(struct archive_entry* entry) {
  return archive_entry_filetype(entry) == AE_IFDIR;
}

// Copies the current entry's data block by block, accounting for every block before it is
// written. A warning (a wrong CRC or size, for instance) still delivers a good block, which is
// written so that the member can be scanned. Read and write errors end the copy with a warning;
// limits throw.
void copyEntryData(const ArchiveHandle& reader, const ArchiveHandle& writer,
                   ArchiveExpansion& expansion) {
  for (;;) {
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    const int status = archive_read_data_block(reader.get(), &block, &size, &offset);
    if (status == ARCHIVE_EOF) return;
    const bool usable = (status == ARCHIVE_OK || status == ARCHIVE_WARN) && offset >= 0 &&
                        (size == 0 || block != nullptr);
    if (status != ARCHIVE_OK) {
      std::cerr << "[WARN] Error reading data: " << reader.errorText() << std::endl;
    }
    if (!usable || (status == ARCHIVE_WARN && size == 0)) return;
    expansion.reach(static_cast<std::uint64_t>(offset) + size);
    if (size > 0 && archive_write_data_block(writer.get(), block, size, offset) != ARCHIVE_OK) {
      std::cerr << "[WARN] Error writing data: " << writer.errorText() << std::endl;
      return;
    }
  }
}

// A name of the form "member<N>" (with a "~N" suffix when taken) directly in the destination, for
// the content of entry `number` whose own name cannot be used.
fs::path plainNameFor(const fs::path& lexicalRoot, std::int64_t number) {
  const fs::path plain = lexicalRoot / ("member" + std::to_string(number));
  return ExtractionPaths::exists(plain) ? ExtractionPaths::freeNameFor(plain) : plain;
}

// Where an entry is written, its directories created: its lexically normalised name, which must
// lie inside the destination both as written and with every existing link resolved. A regular
// file whose name leads outside, or that cannot be placed under its name, is still written, under
// the safe form of its name or else a plain one inside the destination, so that its content is
// scanned like any other; nothing is ever written outside. Empty when the entry is left out (a
// directory that cannot be placed), with a warning.
std::optional<fs::path> placeMember(const std::string& entryName, bool regularFile,
                                    std::int64_t number, const fs::path& root,
                                    const fs::path& lexicalRoot, ExtractionPaths& created) {
  const fs::path natural = (lexicalRoot / entryName).lexically_normal();
  auto place = [&](fs::path target) -> std::optional<fs::path> {
    const fs::path resolved = fs::weakly_canonical(target);
    if (!ExtractionPaths::liesInside(resolved, root) ||
        !ExtractionPaths::liesInside(target, lexicalRoot)) {
      return std::nullopt;
    }
    if (regularFile && ExtractionPaths::exists(target)) {
      target = ExtractionPaths::freeNameFor(target);
    }
    created.createDirectories(target.parent_path());
    return target;
  };

  bool traversal = false;
  std::string failure;
  try {
    if (std::optional<fs::path> target = place(natural)) return target;
    traversal = natural != lexicalRoot && fs::weakly_canonical(natural) != root;
  } catch (const fs::filesystem_error& error) {
    failure = platform::errnoText(error.code().value());
  }
  if (!regularFile) {
    if (traversal) {
      std::cerr << "[WARN] Path traversal attempt detected, skipping: " << entryName << std::endl;
    } else if (!failure.empty()) {
      std::cerr << "[WARN] Cannot place archive entry, skipping: " << entryName << " (" << failure
                << ")" << std::endl;
    }
    return std::nullopt;
  }

  const fs::path safe = ExtractionPaths::safeRelativePath(entryName);
  std::optional<fs::path> target;
  try {
    if (failure.empty() && !safe.empty()) target = place(lexicalRoot / safe);
    if (!target) target = place(plainNameFor(lexicalRoot, number));
  } catch (const fs::filesystem_error& error) {
    failure = platform::errnoText(error.code().value());
  }
  if (!target) {
    std::cerr << "[WARN] Cannot place archive entry, skipping: " << entryName << " ("
              << (failure.empty() ? "no name left" : failure) << ")" << std::endl;
    return std::nullopt;
  }
  const std::string placedAs = target->lexically_relative(lexicalRoot).string();
  if (traversal) {
    std::cerr << "[WARN] Path traversal attempt detected, extracting as " << placedAs << ": "
              << entryName << std::endl;
  } else if (!failure.empty()) {
    std::cerr << "[WARN] Cannot place archive entry, extracting as " << placedAs << ": "
              << entryName << " (" << failure << ")" << std::endl;
  }
  return target;
}

// Reads the first kSniffBytes of the file behind `stream` (fewer for a short file).
std::size_t readHead(const platform::DescriptorStream& stream,
                     std::array<unsigned char, ArchiveExtractor::kSniffBytes>& head) {
  return std::fread(head.data(), 1, head.size(), stream.get());
}

// A stream of its own over the archive open on `fd`, read from the start.
platform::DescriptorStream openArchiveStream(int fd) {
  platform::Result<platform::DescriptorStream> opened =
      platform::DescriptorStream::openDuplicate(fd);
  if (!opened) throw std::runtime_error("Failed to open archive: " + opened.message());
  return std::move(*opened);
}

}  // namespace

ArchiveExtractor::ArchiveExtractor(std::string folder, ArchiveLimits limits)
    : folder_(std::move(folder)), limits_(limits) {}

void ArchiveExtractor::emptyFolder(const std::string& folder) {
  const fs::file_status status = fs::symlink_status(folder);
  if (fs::exists(status) && !fs::is_directory(status)) fs::remove(folder);
  if (fs::is_directory(status)) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      fs::remove_all(entry.path());
    }
  } else {
    fs::create_directories(folder);
  }
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
}

bool ArchiveExtractor::isFormatWord(std::string_view word) {
  return std::find(kFormatWords.begin(), kFormatWords.end(), word) != kFormatWords.end();
}

bool ArchiveExtractor::isArchive(const std::string& path) const {
  std::error_code error;
  return fs::is_regular_file(path, error) && detectFormat(path) != "unknown";
}

std::string ArchiveExtractor::detectFormat(const std::string& path) const {
  // Links are resolved first; FIFOs and devices are refused without blocking.
  std::error_code error;
  const fs::path resolved = fs::canonical(path, error);
  if (error) return "unknown";
  const platform::Result<platform::FileHandle> file =
      platform::FileHandle::openForReading(resolved.string());
  if (!file) return "unknown";
  std::array<unsigned char, kSniffBytes> head{};
  return detectFormat(head.data(), file->readHead(head.data(), head.size()), path);
}

std::string ArchiveExtractor::detectFormat(const unsigned char* bytes, std::size_t size,
                                           const std::string& name) const {
  const Head head(bytes, size);
  // The five historical signatures first, with bytes the file lacks counted as zero.
  if (head.at(0) == 0x50 && head.at(1) == 0x4B) return "zip";
  if (head.has(0, "Rar!")) return "rar";
  if (head.has(0, "7z\xBC\xAF")) return "7z";
  if (head.at(0) == 0x1F && head.at(1) == 0x8B) return "gzip";

  if (head.has(0, "BZh") && head.at(3) >= '1' && head.at(3) <= '9') return "bzip2";
  if (head.has(0, "\xFD\x37zXZ\0")) return "xz";
  if (head.has(0, "\x28\xB5\x2F\xFD")) return "zstd";
  if (head.has(0, "\x04\x22\x4D\x18") || head.has(0, "\x02\x21\x4C\x18")) return "lz4";
  if (head.has(0, "LZIP")) return "lzip";
  if (head.at(0) == 0x1F && head.at(1) == 0x9D) return "compress";
  if (head.has(257, "ustar")) return "tar";
  if (head.has(0, "070707") || head.has(0, "070701") || head.has(0, "070702") ||
      (head.at(0) == 0xC7 && head.at(1) == 0x71) || (head.at(0) == 0x71 && head.at(1) == 0xC7)) {
    return "cpio";
  }
  for (const std::size_t offset : {0x8001, 0x8801, 0x9001}) {
    if (head.has(offset, "CD001")) return "iso9660";
  }
  if (head.has(0, "MSCF\0\0\0\0")) return "cab";
  if (head.has(0, "!<arch>\n")) return "ar";
  if (head.has(0, "xar!")) return "xar";
  if (head.has(0, "\xED\xAB\xEE\xDB")) return "rpm";
  if (head.has(0, "WARC/1.") || head.has(0, "WARC/0.")) return "warc";
  if (head.has(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) return "ole2";
  if (head.has(0, "ITSF")) return "chm";
  if (head.has(0, "SZDD\x88\xF0\x27\x33")) return "szdd";
  if (head.has(0, "KWAJ\x88\xF0\x27\xD1")) return "kwaj";
  if (looksLikeLha(head)) return "lha";
  if (looksLikeLzma(head)) return "lzma";
  if (std::string mail = MailExtractor::recognise(bytes, size); !mail.empty()) return mail;
  if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".tar") == 0) return "tar";
  return "unknown";
}

std::string ArchiveExtractor::createTempDirectory() const {
  const fs::path base = folder_;
  if (fs::create_directories(base)) {
    fs::permissions(base, fs::perms::owner_all, fs::perm_options::replace);
  }
  // The name is random; a directory that already exists is never reused, since another process
  // could have prepared it.
  for (int attempt = 1;; ++attempt) {
    const fs::path directory = base / ("av_extract_" + platform::generateRandomId());
    std::error_code error;
    if (fs::create_directory(directory, error)) {
      fs::permissions(directory, fs::perms::owner_all, fs::perm_options::replace);
      return directory.string();
    }
    if (error || attempt == kMaxCreateAttempts) {
      throw fs::filesystem_error("cannot create temporary directory", directory,
                                 error ? error : std::make_error_code(std::errc::file_exists));
    }
  }
}

std::vector<std::string> ArchiveExtractor::extract(const std::string& archivePath,
                                                   const std::string& destination) const {
  std::error_code statusError;
  const fs::file_status archiveStatus = fs::status(archivePath, statusError);
  if (!fs::exists(archiveStatus)) {
    throw std::runtime_error("Archive file does not exist: " + archivePath);
  }
  if (!fs::is_regular_file(archiveStatus)) {
    throw std::runtime_error("Archive file is not a regular file: " + archivePath);
  }
  const platform::Result<platform::FileHandle> file =
      platform::FileHandle::openForReading(fs::canonical(archivePath).string());
  if (!file) throw std::runtime_error("Failed to open archive: " + file.message());
  const auto status = file->status();
  if (!status) throw std::runtime_error("Failed to open archive: " + status.message());
  ExtractionBudget budget = ExtractionBudget::forTopLevelFile(status->size);
  return extract(file->descriptor(), archivePath, destination, budget);
}

std::vector<std::string> ArchiveExtractor::extract(int fd, const std::string& name,
                                                   const std::string& destination,
                                                   ExtractionBudget& budget) const {
  platform::DescriptorStream stream = openArchiveStream(fd);
  const std::uint64_t size = stream.size();
  std::array<unsigned char, kSniffBytes> head{};
  const std::string format = detectFormat(head.data(), readHead(stream, head), name);

  std::vector<std::string> files;
  if (format == "mail" || format == "mbox" || format == "ole2" || format == "chm" ||
      format == "szdd" || format == "kwaj") {
    stream = openArchiveStream(fd);
    MemberWriter writer(limits_, size, budget, destination);
    if (format == "ole2") {
      CompoundFileExtractor::extract(stream, name, writer);
    } else if (format == "mail" || format == "mbox") {
      MailExtractor::extract(stream, format == "mbox", writer);
    } else {
      MspackExtractor::extract(stream, format, name, writer);
    }
    files = writer.complete();
  } else {
    stream = platform::DescriptorStream();
    files = extractWithLibarchive(fd, format, name, destination, size, budget);
  }
  std::cout << "[INFO] Extraídos " << files.size() << " archivos desde: " << name << std::endl;
  return files;
}

std::vector<std::string> ArchiveExtractor::extractWithLibarchive(int fd, const std::string& format,
                                                                 const std::string& name,
                                                                 const std::string& destination,
                                                                 std::uint64_t size,
                                                                 ExtractionBudget& budget) const {
  // Declared before the handles so that the rollback runs after they are released.
  ExtractionPaths created;
  created.createDirectories(destination);

  const platform::DescriptorStream input = openArchiveStream(fd);
  ArchiveHandle reader(archive_read_new(), archive_read_free);
  ArchiveHandle writer(archive_write_disk_new(), archive_write_free);
  if (!reader || !writer) throw std::runtime_error("Failed to create archive objects");
  enableArchiveFormats(reader.get());
  // A compressed stream that holds no archive is one member; the raw reader bids lowest, so any
  // archive format found inside the stream wins.
  if (isCompressedStream(format)) archive_read_support_format_raw(reader.get());
  archive_read_support_filter_all(reader.get());
  archive_write_disk_set_options(writer.get(), kDiskWriteOptions);

  if (archive_read_open_fd(reader.get(), input.descriptor(), kReadBlockSize) != ARCHIVE_OK) {
    throw std::runtime_error(std::string("Failed to open archive: ") + reader.errorText());
  }

  const fs::path root = fs::canonical(destination);
  fs::path lexicalRoot = fs::path(destination).lexically_normal();
  if (!lexicalRoot.has_filename()) lexicalRoot = lexicalRoot.parent_path();
  ArchiveExpansion expansion(limits_, size, budget);
  std::vector<std::string> files;
  std::int64_t entryCount = 0;

  for (;;) {
    struct archive_entry* entry = nullptr;
    const int headerStatus = archive_read_next_header(reader.get(), &entry);
    if (headerStatus == ARCHIVE_EOF) break;
    // A warning still delivers a usable header. An error on the very first header means the
    // archive could not be read at all; a later one ends it, keeping the members written so far.
    if (headerStatus != ARCHIVE_OK && headerStatus != ARCHIVE_WARN) {
      if (entryCount == 0) {
        throw std::runtime_error(std::string("Failed to open archive: ") + reader.errorText());
      }
      std::cerr << "[WARN] Error reading archive: " << reader.errorText() << std::endl;
      break;
    }

    if (++entryCount > limits_.maxEntries) {
      throw avwindows::ArchiveBombException("Archive exceeds maximum file count: " +
                                            std::to_string(limits_.maxEntries));
    }

    if (archive_format(reader.get()) == ARCHIVE_FORMAT_RAW) {
      archive_entry_set_pathname(entry, streamMemberName(name).c_str());
    }
    const char* rawName = archive_entry_pathname(entry);
    const std::string entryName = rawName != nullptr ? rawName : "";
    const auto declared = static_cast<std::uint64_t>(archive_entry_size(entry));
    if (declared > limits_.maxEntrySize) {
      std::cerr << "[WARN] Archivo demasiado grande, omitiendo: " << entryName << " (" << declared
                << " bytes)" << std::endl;
      archive_read_data_skip(reader.get());
      continue;
    }
    expansion.startEntry(entryName, declared);

    // Formats that keep no file type (ar in its deterministic form, for one) hold plain files.
    if (archive_entry_filetype(entry) == 0) archive_entry_set_filetype(entry, AE_IFREG);
    // Links, devices, FIFOs and sockets are never recreated: only their names would be scanned.
    const bool regularFile = isRegularFileEntry(entry);
    if (!regularFile && !isDirectoryEntry(entry)) {
      archive_read_data_skip(reader.get());
      continue;
    }

    std::optional<fs::path> placed =
        placeMember(entryName, regularFile, entryCount, root, lexicalRoot, created);
    if (!placed) {
      archive_read_data_skip(reader.get());
      continue;
    }
    fs::path target = std::move(*placed);

    bool existedBefore = ExtractionPaths::exists(target);
    archive_entry_set_pathname(entry, target.c_str());
    archive_entry_set_hardlink(entry, nullptr);
    archive_entry_set_perm(entry, regularFile ? kFileMode : kDirectoryMode);
    // The writer would cut the data at the declared size, which may lie; the limits bound what is
    // written instead.
    archive_entry_unset_size(entry);
    bool headerWritten = archive_write_header(writer.get(), entry) == ARCHIVE_OK;
    if (!headerWritten && regularFile) {
      // A name the file system refuses (an element too long, say) does not keep the content from
      // being scanned: it is written under a plain name of its own.
      const fs::path plain = plainNameFor(lexicalRoot, entryCount);
      std::cerr << "[WARN] Cannot place archive entry, extracting as " << plain.filename().string()
                << ": " << entryName << " (" << writer.errorText() << ")" << std::endl;
      target = plain;
      existedBefore = false;
      archive_entry_set_pathname(entry, target.c_str());
      headerWritten = archive_write_header(writer.get(), entry) == ARCHIVE_OK;
    }
    if (!headerWritten) {
      archive_read_data_skip(reader.get());
      continue;
    }
    if (!existedBefore) created.add(target);
    if (regularFile) copyEntryData(reader, writer, expansion);
    archive_write_finish_entry(writer.get());

    std::error_code typeError;
    if (regularFile && fs::is_regular_file(fs::symlink_status(target, typeError))) {
      files.push_back(target.string());
    }
  }

  reader.reset();
  writer.reset();
  created.keep();
  return files;
}

void ArchiveExtractor::cleanup(const std::string& directory) const {
  std::error_code error;
  if (!fs::exists(fs::symlink_status(directory, error))) return;
  fs::remove_all(directory, error);
  if (error) {
    std::cerr << "[WARN] No se pudo limpiar directorio temporal: "
              << platform::errnoText(error.value()) << std::endl;
    return;
  }
  std::cout << "[INFO] Limpiado directorio temporal: " << directory << std::endl;
}

}  // namespace norvid
