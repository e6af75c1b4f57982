#include "update/FeedUpdater.hpp"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/AtomicFile.hpp"
#include "platform/Sha256.hpp"
#include "update/BundleFetcher.hpp"
#include "update/BundleUnpacker.hpp"
#include "update/FeedCompiler.hpp"
#include "update/FeedStore.hpp"
#include "update/HashListChecker.hpp"
#include "update/MinisignVerifier.hpp"

namespace norvid::update {
namespace {

namespace fs = std::filesystem;

// The largest signature file accepted.
constexpr std::uint64_t kMaxSignatureBytes = 64 * 1024;

std::string sha256OfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  platform::Sha256 digest;
  std::vector<char> block(1 << 16);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    if (in.gcount() > 0) digest.update(block.data(), static_cast<std::size_t>(in.gcount()));
  }
  return in.bad() ? std::string() : digest.finishHex();
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string lastPartOf(const std::string& location) {
  std::string path = location.substr(0, location.find_first_of("?#"));
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A folder the updater works in, removed with everything in it when the step is over.
class ScratchFolder {
 public:
  explicit ScratchFolder(std::string path) : path_(std::move(path)) {}
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }
  // The folder now belongs to someone else (it was renamed into place).
  void release() { path_.clear(); }

 private:
  std::string path_;
};

}  // namespace

// A bundle on disk, ready for the checks.
struct FeedUpdater::Bundle {
  std::string path;
  std::string name;           // the last part of its location, for single files
  std::string signaturePath;  // empty when the feed has no key
};

FeedUpdater::FeedUpdater(Settings settings, const platform::Clock& clock)
    : settings_(std::move(settings)), clock_(clock) {}

std::int64_t FeedUpdater::now() const {
  return std::chrono::duration_cast<std::chrono::seconds>(clock_.now().time_since_epoch()).count();
}

FeedUpdater::Outcome FeedUpdater::fail(const FeedConfig& feed, FeedState& state,
                                       const std::string& message) const {
  state.lastError = message;
  FeedStore store(settings_.feedsDirectory, feed.name);
  if (auto written = store.writeState(state); !written) {
    return {false, false, message + " (and state.json: " + written.message() + ")"};
  }
  return {false, false, message};
}

FeedUpdater::Outcome FeedUpdater::update(const FeedConfig& feed) const {
  FeedStore store(settings_.feedsDirectory, feed.name);
  FeedState state = store.readState();
  state.lastAttempt = now();
  auto scratch = store.createStaging();
  if (!scratch) return fail(feed, state, scratch.message());
  ScratchFolder downloads(*scratch);

  BundleFetcher fetcher;
  FetchRequest request;
  request.url = feed.url;
  request.destination = downloads.path() + "/bundle";
  request.caFile = feed.caFile;
  request.allowPlainHttp = feed.insecure;
  request.maxSize = feed.maxSize;
  request.connectTimeoutSeconds = settings_.connectTimeoutSeconds;
  request.totalTimeoutSeconds = settings_.totalTimeoutSeconds;
  // Only a version that came from this location may be asked about conditionally.
  const bool installed = store.currentVersion().has_value() && state.url == feed.url;
  if (installed) {
    request.etag = state.etag;
    request.lastModified = state.lastModified;
  }
  auto fetched = fetcher.fetch(request);
  if (!fetched) return fail(feed, state, fetched.message());
  if (fetched->notModified) {
    // Nothing is rewritten unless an earlier failure has to be cleared.
    if (!state.lastError.empty()) {
      state.lastError.clear();
      state.lastSuccess = now();
      store.writeState(state);
    }
    return {true, false, "unchanged (not modified)"};
  }

  Bundle bundle{request.destination, lastPartOf(feed.url), ""};
  if (!feed.minisignKey.empty()) {
    FetchRequest signature = request;
    signature.url = feed.signatureLocation();
    signature.destination = downloads.path() + "/bundle.minisig";
    signature.maxSize = kMaxSignatureBytes;
    signature.etag.clear();
    signature.lastModified.clear();
    auto signatureFetched = fetcher.fetch(signature);
    if (!signatureFetched) {
      return fail(feed, state, "signature: " + signatureFetched.message());
    }
    bundle.signaturePath = signature.destination;
  }
  const std::string etag = fetched->etag;
  const std::string lastModified = fetched->lastModified;
  Outcome outcome = install(feed, state, bundle);
  if (outcome.ok) {
    state.url = feed.url;
    state.etag = etag;
    state.lastModified = lastModified;
    if (auto written = store.writeState(state); !written) {
      outcome.message += " (state.json: " + written.message() + ")";
    }
  }
  return outcome;
}

FeedUpdater::Outcome FeedUpdater::importBundle(const FeedConfig& feed,
                                               const std::string& file) const {
  FeedStore store(settings_.feedsDirectory, feed.name);
  FeedState state = store.readState();
  state.lastAttempt = now();
  std::error_code error;
  if (!fs::is_regular_file(file, error)) return fail(feed, state, file + ": no such bundle");
  const auto size = fs::file_size(file, error);
  if (error || size > feed.maxSize) {
    return fail(feed, state,
                file + ": larger than max_size (" + std::to_string(feed.maxSize) + " bytes)");
  }
  Bundle bundle{file, lastPartOf(file), ""};
  if (!feed.minisignKey.empty()) {
    bundle.signaturePath = file + ".minisig";
    if (!fs::is_regular_file(bundle.signaturePath, error)) {
      return fail(feed, state, "signature: " + bundle.signaturePath + " is missing");
    }
  }
  Outcome outcome = install(feed, state, bundle);
  if (outcome.ok) {
    // The installed content no longer matches what the server's validators describe.
    state.etag.clear();
    state.lastModified.clear();
    store.writeState(state);
  }
  return outcome;
}

FeedUpdater::Outcome FeedUpdater::install(const FeedConfig& feed, FeedState& state,
                                          const Bundle& bundle) const {
  FeedStore store(settings_.feedsDirectory, feed.name);
  const std::string sha256 = sha256OfFile(bundle.path);
  if (sha256.empty()) return fail(feed, state, "cannot read the bundle " + bundle.path);
  if (!feed.sha256.empty() && sha256 != feed.sha256) {
    return fail(feed, state,
                "the bundle's SHA-256 " + sha256 + " does not match the pin " + feed.sha256);
  }
  if (!bundle.signaturePath.empty()) {
    auto key = MinisignVerifier::parsePublicKey(feed.minisignKey);
    if (!key) return fail(feed, state, "minisign_key: " + key.message());
    if (fs::file_size(bundle.signaturePath) > kMaxSignatureBytes) {
      return fail(feed, state, "signature: larger than any minisign signature");
    }
    auto verified = MinisignVerifier(*key).verifyFile(bundle.path, readText(bundle.signaturePath));
    if (!verified) return fail(feed, state, verified.message());
  }
  if (!state.heldBack.empty() && sha256 == state.heldBack) {
    state.lastError.clear();
    state.lastSuccess = now();
    return {true, false, "unchanged (this bundle was rolled back; a newer one will be installed)"};
  }
  if (store.currentVersion() && sha256 == state.sha256) {
    state.lastError.clear();
    state.lastSuccess = now();
    return {true, false, "unchanged (same bundle)"};
  }

  auto staging = store.createStaging();
  if (!staging) return fail(feed, state, staging.message());
  ScratchFolder version(*staging);
  auto files = BundleUnpacker().unpack(bundle.path, bundle.name, feed.kind, version.path());
  if (!files) return fail(feed, state, files.message());

  FeedState next = state;
  next.setAside.clear();
  next.warnings.clear();
  next.rules = 0;
  next.hashes = 0;
  std::vector<std::string> setAsideFiles;
  if (feed.kind == FeedKind::Yara) {
    CompileReport report = FeedCompiler().compile(feed.name, *files);
    if (!report.failure.empty()) return fail(feed, state, report.failure);
    next.rules = report.rules;
    next.setAside = report.setAside;
    next.warnings = report.warnings;
  } else {
    for (const std::string& path : *files) {
      const auto count = HashListChecker::check(path);
      const std::string name = fs::path(path).filename().string();
      if (count.hashes == 0) {
        next.setAside.push_back({name, count.badLines > 0 ? count.firstBadLine : "no hash entry"});
      } else {
        next.hashes += count.hashes;
        if (count.badLines > 0) {
          next.warnings.push_back({name, std::to_string(count.badLines) +
                                             " lines ignored, first at " + count.firstBadLine});
        }
      }
    }
  }
  // What failed is moved out of the loaded folder but kept for a look.
  for (const FileNote& note : next.setAside) {
    std::error_code error;
    fs::create_directory(version.path() + "/set-aside", error);
    fs::rename(version.path() + "/" + note.file, version.path() + "/set-aside/" + note.file, error);
    if (error) return fail(feed, state, "cannot set aside " + note.file + ": " + error.message());
  }
  if (next.rules == 0 && next.hashes == 0) {
    std::string message = "nothing usable in the bundle";
    if (!next.setAside.empty()) {
      message += ": " + next.setAside.front().file + ": " + next.setAside.front().message;
    }
    state.setAside = next.setAside;
    return fail(feed, state, message);
  }

  next.version.clear();
  next.sha256 = sha256;
  next.installedAt = now();
  // Each version keeps its own counts, so a rollback can show what it brought back.
  if (auto written =
          platform::writeFileAtomically(version.path() + "/version.json", next.toJson().dump(2));
      !written) {
    return fail(feed, state, written.message());
  }
  const std::time_t seconds = static_cast<std::time_t>(now());
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", std::gmtime(&seconds));
  auto promoted = store.promote(version.path(), stamp);
  if (!promoted) return fail(feed, state, promoted.message());
  version.release();
  if (auto activated = store.activate(*promoted); !activated) {
    return fail(feed, state, activated.message());
  }
  next.version = *promoted;
  next.heldBack.clear();
  next.lastSuccess = next.installedAt;
  next.lastError.clear();
  state = next;
  std::string message = "installed " + *promoted + ": ";
  message += feed.kind == FeedKind::Yara ? std::to_string(next.rules) + " rules"
                                         : std::to_string(next.hashes) + " hashes";
  if (!next.setAside.empty()) {
    message += ", " + std::to_string(next.setAside.size()) + " files set aside";
  }
  return {true, true, message};
}

FeedUpdater::Outcome FeedUpdater::rollback(const std::string& name) const {
  FeedStore store(settings_.feedsDirectory, name);
  auto rolled = store.rollback();
  if (!rolled) return {false, false, rolled.message()};
  FeedState state = store.readState();
  state.version = store.currentVersion().value_or("");
  const FeedState restored = FeedState::fromJson(
      nlohmann::json::parse(readText(store.currentPath() + "/version.json"), nullptr, false));
  state.heldBack = state.sha256;
  state.sha256 = restored.sha256;
  state.installedAt = restored.installedAt;
  state.rules = restored.rules;
  state.hashes = restored.hashes;
  state.setAside = restored.setAside;
  state.warnings = restored.warnings;
  // The server's validators describe the version that was current: the next run fetches whole.
  state.etag.clear();
  state.lastModified.clear();
  store.writeState(state);
  return {true, true, "rolled back to " + state.version};
}

}  // namespace norvid::update
