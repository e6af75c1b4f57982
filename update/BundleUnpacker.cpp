#include "update/BundleUnpacker.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "engine/ArchiveBombException.hpp"
#include "engine/ArchiveExtractor.hpp"

namespace norvid::update {
namespace {

namespace fs = std::filesystem;
using platform::Failure;
using platform::Result;

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// `name` in `directory`, with "-N" before the extension when something already has that name.
fs::path freeName(const fs::path& directory, const std::string& name) {
  fs::path candidate = directory / name;
  const fs::path stem = fs::path(name).stem();
  const fs::path extension = fs::path(name).extension();
  for (int n = 2; fs::exists(fs::symlink_status(candidate)); ++n) {
    candidate = directory / (stem.string() + "-" + std::to_string(n) + extension.string());
  }
  return candidate;
}

}  // namespace

BundleUnpacker::BundleUnpacker(ArchiveLimits limits) : limits_(limits) {}

ArchiveLimits BundleUnpacker::limitsForFeeds() {
  ArchiveLimits limits;
  limits.maxEntries = 20'000;
  return limits;
}

bool BundleUnpacker::isContentFile(FeedKind kind, const std::string& name) {
  const std::string extension = lower(fs::path(name).extension().string());
  if (kind == FeedKind::Yara) return extension == ".yar" || extension == ".yara";
  return extension == ".hdb" || extension == ".hsb" || extension == ".hashes";
}

Result<std::vector<std::string>> BundleUnpacker::unpack(const std::string& bundle,
                                                        const std::string& bundleName,
                                                        FeedKind kind,
                                                        const std::string& destination) const {
  // Its temporary directories, if any, stay inside the version folder being built.
  ArchiveExtractor extractor(destination, limits_);
  std::vector<std::string> files;
  std::error_code error;
  if (extractor.detectFormat(bundle) == "unknown") {
    if (!isContentFile(kind, bundleName)) {
      return Failure{0, "the bundle \"" + bundleName + "\" is neither an archive nor a " +
                            (kind == FeedKind::Yara ? ".yar/.yara" : ".hdb/.hsb/.hashes") +
                            " file"};
    }
    const fs::path target = fs::path(destination) / fs::path(bundleName).filename();
    fs::copy_file(bundle, target, error);
    if (error) return Failure{error.value(), "copy " + bundle + ": " + error.message()};
    files.push_back(target.string());
    return files;
  }

  const fs::path unpacked = fs::path(destination) / ".unpacked";
  try {
    extractor.extract(bundle, unpacked.string());
  } catch (const avwindows::ArchiveBombException& bomb) {
    fs::remove_all(unpacked, error);
    return Failure{0, std::string("the bundle exceeds the container limits: ") + bomb.what()};
  } catch (const std::exception& failure) {
    fs::remove_all(unpacked, error);
    return Failure{0, std::string("the bundle cannot be unpacked: ") + failure.what()};
  }
  try {
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(unpacked)) {
      if (entry.is_regular_file() && !entry.is_symlink() &&
          isContentFile(kind, entry.path().filename().string())) {
        found.push_back(entry.path());
      }
    }
    std::sort(found.begin(), found.end());
    for (const fs::path& path : found) {
      std::string flat = fs::relative(path, unpacked).string();
      std::replace(flat.begin(), flat.end(), '/', '_');
      const fs::path target = freeName(destination, flat);
      fs::rename(path, target);
      files.push_back(target.string());
    }
  } catch (const fs::filesystem_error& failure) {
    fs::remove_all(unpacked, error);
    return Failure{failure.code().value(), std::string("unpacking failed: ") + failure.what()};
  }
  fs::remove_all(unpacked, error);
  if (files.empty()) {
    return Failure{0, std::string("the bundle holds no ") +
                          (kind == FeedKind::Yara ? ".yar/.yara" : ".hdb/.hsb/.hashes") + " file"};
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace norvid::update
