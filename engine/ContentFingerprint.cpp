#include "engine/ContentFingerprint.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/FileHandle.hpp"
#include "platform/ScanIo.hpp"
#include "platform/Sha256.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;

// Changed whenever the meaning of a kept verdict changes.
const char* const kScheme = "norvid-verdicts-1";

std::string statusLine(const std::string& path, const platform::FileStatus& status) {
  return path + '\n' + std::to_string(status.device) + ' ' + std::to_string(status.inode) + ' ' +
         std::to_string(status.size) + ' ' + std::to_string(status.modifiedNs) + ' ' +
         std::to_string(status.changedNs) + '\n';
}

// Feeds the bytes of the file open on `file` to `digest`; false when a read fails or the file
// ends before `size` bytes.
bool hashContent(const platform::FileHandle& file, std::uint64_t size, platform::Sha256& digest) {
  std::vector<char> buffer(1 << 16);
  std::uint64_t offset = 0;
  while (offset < size) {
    const platform::Result<std::size_t> count = file.readAt(offset, buffer.data(), buffer.size());
    if (!count || *count == 0) return false;
    digest.update(buffer.data(), *count);
    offset += *count;
  }
  return true;
}

}  // namespace

std::string ContentFingerprint::listing(const std::vector<std::string>& folders,
                                        std::string* digestHex) {
  platform::Sha256 digest;
  bool readable = true;
  std::string lines;
  for (const std::string& folder : folders) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
      names.push_back(entry->path().string());
    }
    if (error && error != std::errc::no_such_file_or_directory) readable = false;
    std::sort(names.begin(), names.end());
    lines += "folder " + folder + '\n';
    for (const std::string& name : names) {
      const platform::Result<platform::FileHandle> file = platform::openForScanning(name, true);
      if (!file) {
        lines += name + " unopened\n";
        continue;
      }
      const platform::Result<platform::FileStatus> status = file->status();
      if (!status) {
        readable = false;
        continue;
      }
      if (!status->regular) continue;
      const std::string line = statusLine(name, *status);
      lines += line;
      if (digestHex == nullptr) continue;
      const std::string label = name + '\n' + std::to_string(status->size) + '\n';
      digest.update(label.data(), label.size());
      if (!hashContent(*file, status->size, digest)) readable = false;
    }
  }
  if (digestHex != nullptr) *digestHex = readable ? digest.finishHex() : std::string();
  return lines;
}

ContentFingerprint ContentFingerprint::of(std::vector<std::string> folders,
                                          const std::string& settings) {
  ContentFingerprint fingerprint;
  fingerprint.folders_ = std::move(folders);
  std::string files;
  fingerprint.listing_ = listing(fingerprint.folders_, &files);
  if (files.empty()) return fingerprint;
  // The program itself: an upgrade may judge the same bytes differently.
  std::string program;
  const platform::Result<platform::FileHandle> self =
      platform::openForScanning("/proc/self/exe", true);
  if (self) {
    const platform::Result<platform::FileStatus> status = self->status();
    if (status) program = statusLine("program", *status);
  }
  if (program.empty()) return fingerprint;
  fingerprint.digest_ =
      platform::Sha256::ofText(std::string(kScheme) + '\n' + settings + '\n' + program + files);
  return fingerprint;
}

ContentFingerprint ContentFingerprint::ofEngineFolders(const std::string& rulesDir,
                                                       const std::vector<RuleFolder>& feeds,
                                                       const std::string& allowDir,
                                                       bool scanArchives, bool heuristicsEnabled) {
  std::vector<std::string> folders{rulesDir};
  std::string described = std::string("archives ") + (scanArchives ? "on" : "off") +
                          "\nheuristics " + (heuristicsEnabled ? "on" : "off");
  for (const RuleFolder& feed : feeds) {
    folders.push_back(feed.directory);
    described += "\nfeed " + feed.nameSpace;
  }
  folders.push_back(allowDir);
  return of(std::move(folders), described);
}

bool ContentFingerprint::unchangedOnDisk() const {
  return !digest_.empty() && listing(folders_, nullptr) == listing_;
}

}  // namespace norvid
