#include "engine/ArchiveExtractor.hpp"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "engine/ArchiveBombException.hpp"
#include "engine/ArchiveHandle.hpp"
#include "platform/FileHandle.hpp"
#include "platform/Paths.hpp"
#include "platform/RandomId.hpp"
#include "platform/ScanIo.hpp"

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

// Removes, newest first, everything an extraction created unless the extraction completed, so
// that a bomb or an error never leaves half an archive behind.
class CreatedPaths {
 public:
  CreatedPaths() = default;
  CreatedPaths(const CreatedPaths&) = delete;
  CreatedPaths& operator=(const CreatedPaths&) = delete;
  ~CreatedPaths() {
    if (kept_) return;
    for (auto it = paths_.rbegin(); it != paths_.rend(); ++it) {
      std::error_code ignored;
      fs::remove_all(*it, ignored);
    }
  }

  void add(fs::path path) {
    if (!path.empty()) paths_.push_back(std::move(path));
  }
  void keep() { kept_ = true; }

 private:
  std::vector<fs::path> paths_;
  bool kept_ = false;
};

bool pathExists(const fs::path& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

// The outermost component of `path` that does not exist yet; empty when all of it exists.
fs::path outermostMissing(const fs::path& path) {
  fs::path missing;
  for (fs::path current = path; !current.empty() && !pathExists(current);
       current = current.parent_path()) {
    missing = current;
    if (current == current.parent_path()) break;
  }
  return missing;
}

// Creates the directory and its missing parents, remembering the outermost one it made.
void createDirectories(const fs::path& directory, CreatedPaths& created) {
  fs::path missing = outermostMissing(directory);
  fs::create_directories(directory);
  created.add(std::move(missing));
}

// True when `candidate` lies strictly below `root`, comparing whole path components (so that
// "/tmp/av_extract_x-other" is not taken to lie inside "/tmp/av_extract_x").
bool liesInside(const fs::path& candidate, const fs::path& root) {
  const fs::path relative = candidate.lexically_relative(root);
  return !relative.empty() && relative != "." && *relative.begin() != "..";
}

// A name for a member whose path was already used by an earlier member of the same archive, so
// that both are written and scanned.
fs::path freeNameFor(const fs::path& target) {
  for (int suffix = 1;; ++suffix) {
    fs::path candidate = target;
    candidate += "~" + std::to_string(suffix);
    if (!pathExists(candidate)) return candidate;
  }
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

// Tracks the bytes an extraction has produced against the limits: per entry the larger of the
// declared size and what was actually written, summed over the archive.
class ExpansionBudget {
 public:
  ExpansionBudget(const ArchiveLimits& limits, std::uint64_t archiveSize)
      : limits_(limits), archiveSize_(archiveSize) {}

  void startEntry(const std::string& name, std::uint64_t declared) {
    name_ = name;
    entryBytes_ = declared;
    total_ += declared;
    checkRatio();
  }

  // Accounts for data reaching `extent` bytes into the current entry; throws before a limit
  // would be passed.
  void reach(std::uint64_t extent) {
    if (extent > limits_.maxEntrySize) {
      throw avwindows::ArchiveBombException("Archive entry exceeds maximum size: " + name_ +
                                            " (more than " + std::to_string(limits_.maxEntrySize) +
                                            " bytes)");
    }
    if (extent <= entryBytes_) return;
    total_ += extent - entryBytes_;
    entryBytes_ = extent;
    checkRatio();
  }

 private:
  void checkRatio() const {
    if (archiveSize_ == 0) return;
    const double ratio = static_cast<double>(total_) / static_cast<double>(archiveSize_);
    if (ratio > limits_.maxCompressionRatio) {
      throw avwindows::ArchiveBombException("Possible zip bomb detected. Compression ratio: " +
                                            std::to_string(total_ / archiveSize_) + ":1");
    }
  }

  const ArchiveLimits& limits_;
  const std::uint64_t archiveSize_;
  std::string name_;
  std::uint64_t entryBytes_ = 0;
  std::uint64_t total_ = 0;
};

// Copies the current entry's data block by block, accounting for every block before it is
// written. A warning (a wrong CRC or size, for instance) still delivers a good block, which is
// written so that the member can be scanned. Read and write errors end the copy with a warning;
// limits throw.
void copyEntryData(const ArchiveHandle& reader, const ArchiveHandle& writer,
                   ExpansionBudget& budget, ExtractionBudget* fileBudget) {
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
    budget.reach(static_cast<std::uint64_t>(offset) + size);
    if (fileBudget != nullptr && !fileBudget->consume(size)) {
      throw avwindows::ArchiveBombException(
          "Possible zip bomb detected. Extraction limit of the scanned file reached");
    }
    if (size > 0 && archive_write_data_block(writer.get(), block, size, offset) != ARCHIVE_OK) {
      std::cerr << "[WARN] Error writing data: " << writer.errorText() << std::endl;
      return;
    }
  }
}

}  // namespace

ArchiveExtractor::ArchiveExtractor(ArchiveLimits limits) : limits_(limits) {}

bool ArchiveExtractor::isArchive(const std::string& path) const {
  std::error_code error;
  return fs::is_regular_file(path, error) && detectFormat(path) != "unknown";
}

std::string ArchiveExtractor::detectFormat(const std::string& path) const {
  // Links are resolved first; FIFOs and devices are refused without blocking.
  std::error_code error;
  const fs::path resolved = fs::canonical(path, error);
  if (error) return "unknown";
  const platform::FileHandle file = platform::FileHandle::openForReading(resolved.string());
  if (!file.isOpen()) return "unknown";
  std::array<unsigned char, 4> magic{};
  std::size_t got = 0;
  while (got < magic.size()) {
    const long long count =
        file.readAt(got, reinterpret_cast<char*>(magic.data()) + got, magic.size() - got);
    if (count <= 0) break;
    got += static_cast<std::size_t>(count);
  }
  return detectFormat(magic.data(), got, path);
}

std::string ArchiveExtractor::createTempDirectory() const {
  const fs::path base = platform::temporaryDirectory();
  fs::create_directories(base);
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

std::string ArchiveExtractor::detectFormat(const unsigned char* head, std::size_t size,
                                           const std::string& name) const {
  std::array<unsigned char, 4> magic{};
  std::copy(head, head + std::min(size, magic.size()), magic.begin());
  if (magic[0] == 0x50 && magic[1] == 0x4B) return "zip";
  if (magic[0] == 0x52 && magic[1] == 0x61 && magic[2] == 0x72 && magic[3] == 0x21) return "rar";
  if (magic[0] == 0x37 && magic[1] == 0x7A && magic[2] == 0xBC && magic[3] == 0xAF) return "7z";
  if (magic[0] == 0x1F && magic[1] == 0x8B) return "gzip";
  if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".tar") == 0) return "tar";
  return "unknown";
}

std::vector<std::string> ArchiveExtractor::extract(const std::string& archivePath,
                                                   const std::string& destination) const {
  return extractFrom(archivePath, -1, destination, nullptr);
}

std::vector<std::string> ArchiveExtractor::extract(int fd, const std::string& name,
                                                   const std::string& destination,
                                                   ExtractionBudget& budget) const {
  return extractFrom(name, fd, destination, &budget);
}

std::vector<std::string> ArchiveExtractor::extractFrom(const std::string& archivePath, int fd,
                                                       const std::string& destination,
                                                       ExtractionBudget* fileBudget) const {
  std::uint64_t archiveSize = 0;
  if (fd >= 0) {
    int factsError = 0;
    const std::optional<platform::OpenFileFacts> facts = platform::openFileFacts(fd, factsError);
    if (!facts || !facts->regular || !platform::rewindDescriptor(fd)) {
      throw std::runtime_error("Archive file is not a regular file: " + archivePath);
    }
    archiveSize = facts->size;
  } else {
    std::error_code statusError;
    const fs::file_status archiveStatus = fs::status(archivePath, statusError);
    if (!fs::exists(archiveStatus)) {
      throw std::runtime_error("Archive file does not exist: " + archivePath);
    }
    if (!fs::is_regular_file(archiveStatus)) {
      throw std::runtime_error("Archive file is not a regular file: " + archivePath);
    }
    archiveSize = fs::file_size(archivePath);
  }

  // Declared before the handles so that the rollback runs after they are released.
  CreatedPaths created;
  createDirectories(destination, created);

  ArchiveHandle reader(archive_read_new(), archive_read_free);
  ArchiveHandle writer(archive_write_disk_new(), archive_write_free);
  if (!reader || !writer) throw std::runtime_error("Failed to create archive objects");
  archive_read_support_format_all(reader.get());
  archive_read_support_filter_all(reader.get());
  archive_write_disk_set_options(writer.get(), kDiskWriteOptions);

  const int opened =
      fd >= 0 ? archive_read_open_fd(reader.get(), fd, kReadBlockSize)
              : archive_read_open_filename(reader.get(), archivePath.c_str(), kReadBlockSize);
  if (opened != ARCHIVE_OK) {
    throw std::runtime_error(std::string("Failed to open archive: ") + reader.errorText());
  }

  const fs::path root = fs::canonical(destination);
  fs::path lexicalRoot = fs::path(destination).lexically_normal();
  if (!lexicalRoot.has_filename()) lexicalRoot = lexicalRoot.parent_path();
  ExpansionBudget budget(limits_, archiveSize);
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

    const char* rawName = archive_entry_pathname(entry);
    const std::string name = rawName != nullptr ? rawName : "";
    const auto declared = static_cast<std::uint64_t>(archive_entry_size(entry));
    if (declared > limits_.maxEntrySize) {
      std::cerr << "[WARN] Archivo demasiado grande, omitiendo: " << name << " (" << declared
                << " bytes)" << std::endl;
      archive_read_data_skip(reader.get());
      continue;
    }
    budget.startEntry(name, declared);

    // Links, devices, FIFOs and sockets are never recreated: only their names would be scanned.
    const bool regularFile = isRegularFileEntry(entry);
    if (!regularFile && !isDirectoryEntry(entry)) {
      archive_read_data_skip(reader.get());
      continue;
    }

    // The member is written under its lexically normalised name, which must lie inside the
    // destination both as written and with every existing link resolved.
    fs::path target = (fs::path(destination) / name).lexically_normal();
    try {
      const fs::path resolved = fs::weakly_canonical(target);
      if (!liesInside(resolved, root) || !liesInside(target, lexicalRoot)) {
        if (resolved != root && target != lexicalRoot) {
          std::cerr << "[WARN] Path traversal attempt detected, skipping: " << name << std::endl;
        }
        archive_read_data_skip(reader.get());
        continue;
      }
      if (regularFile && pathExists(target)) target = freeNameFor(target);
      if (target.has_parent_path()) createDirectories(target.parent_path(), created);
    } catch (const fs::filesystem_error& error) {
      std::cerr << "[WARN] Cannot place archive entry, skipping: " << name << " ("
                << error.code().message() << ")" << std::endl;
      archive_read_data_skip(reader.get());
      continue;
    }

    const bool existedBefore = pathExists(target);
    archive_entry_set_pathname(entry, target.c_str());
    archive_entry_set_hardlink(entry, nullptr);
    archive_entry_set_perm(entry, regularFile ? kFileMode : kDirectoryMode);
    // The writer would cut the data at the declared size, which may lie; the budget bounds what
    // is written instead.
    archive_entry_unset_size(entry);
    if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) {
      archive_read_data_skip(reader.get());
      continue;
    }
    if (!existedBefore) created.add(target);
    if (regularFile) copyEntryData(reader, writer, budget, fileBudget);
    archive_write_finish_entry(writer.get());

    std::error_code typeError;
    if (regularFile && fs::is_regular_file(fs::symlink_status(target, typeError))) {
      files.push_back(target.string());
    }
  }

  reader.reset();
  writer.reset();
  created.keep();
  std::cout << "[INFO] Extraídos " << files.size() << " archivos desde: " << archivePath
            << std::endl;
  return files;
}

void ArchiveExtractor::cleanup(const std::string& directory) const {
  std::error_code error;
  if (!fs::exists(fs::symlink_status(directory, error))) return;
  fs::remove_all(directory, error);
  if (error) {
    std::cerr << "[WARN] No se pudo limpiar directorio temporal: " << error.message() << std::endl;
    return;
  }
  std::cout << "[INFO] Limpiado directorio temporal: " << directory << std::endl;
}

}  // namespace norvid
