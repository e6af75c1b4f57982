#include "engine/PersistentVerdicts.hpp"

#include <iostream>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "engine/ContentFingerprint.hpp"
#include "engine/VerdictFile.hpp"
#include "exclusions/ExclusionsManager.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/Sha256.hpp"
#include "platform/ThreadPriority.hpp"

namespace norvid {
namespace {

// How often the background thread looks at the cache's change count.
constexpr std::chrono::seconds kPollInterval{5};

void printLine(std::ostream& stream, const std::string& text) { stream << (text + "\n"); }

}  // namespace

PersistentVerdicts::PersistentVerdicts(std::string path, MountTable mounts)
    : path_(std::move(path)), mounts_(std::move(mounts)) {}

PersistentVerdicts::~PersistentVerdicts() {
  if (saver_.joinable()) {
    saver_.request_stop();
    wake_.notify_all();
    saver_.join();
  }
}

bool PersistentVerdicts::exclusionState(std::string* digest, std::uint64_t* generation) const {
  if (exclusions_ == nullptr) {
    *digest = "none";
    *generation = 0;
    return true;
  }
  const std::uint64_t before = exclusions_->generation();
  nlohmann::json rules = nlohmann::json::array();
  for (const ExclusionEntry& entry : exclusions_->getExclusions()) {
    rules.push_back({exclusionTypeWord(entry.type), entry.value});
  }
  *digest = platform::Sha256::ofText(rules.dump());
  *generation = before;
  return exclusions_->generation() == before;
}

std::size_t PersistentVerdicts::attach(VerdictCache& cache, const ContentFingerprint& fingerprint,
                                       const ExclusionsManager* exclusions) {
  if (!fingerprint.unchangedOnDisk()) {
    printLine(std::cerr, "[WARN] Las reglas cambiaron durante la carga: los veredictos de " +
                             path_ + " no se usan hasta la próxima recarga");
    return attach(cache, std::string(), exclusions);
  }
  return attach(cache, fingerprint.digest(), exclusions);
}

std::size_t PersistentVerdicts::attach(VerdictCache& cache, const std::string& content,
                                       const ExclusionsManager* exclusions) {
  std::lock_guard<std::mutex> lock(mutex_);
  cache_ = content.empty() ? nullptr : &cache;
  content_ = content;
  exclusions_ = exclusions;
  savedChanges_ = cache.changes();
  if (cache_ == nullptr) return 0;
  std::string problem;
  std::optional<VerdictFile::Contents> stored = VerdictFile::read(path_, &problem);
  if (!stored) {
    if (!problem.empty()) {
      printLine(std::cerr, "[WARN] Se ignora el archivo de veredictos " + path_ + ": " + problem);
    }
    return 0;
  }
  std::string listDigest;
  std::uint64_t generation = 0;
  if (stored->content != content || !exclusionState(&listDigest, &generation) ||
      stored->exclusions != listDigest) {
    return 0;
  }
  const platform::FileSystemIds mounted = mounts_();
  std::vector<VerdictCache::Kept> kept;
  kept.reserve(stored->entries.size());
  for (VerdictFile::Entry& entry : stored->entries) {
    const std::optional<std::uint64_t> device = mounted.deviceOf(entry.fileSystem);
    if (!device) continue;
    platform::FileStatus status;
    status.regular = true;
    status.device = *device;
    status.inode = entry.inode;
    status.size = entry.size;
    status.modifiedNs = entry.modifiedNs;
    status.changedNs = entry.changedNs;
    kept.push_back({std::move(entry.path), status, std::move(entry.verdict)});
  }
  const std::size_t count = kept.size();
  cache.restore(std::move(kept), generation);
  savedChanges_ = cache.changes();
  return count;
}

void PersistentVerdicts::detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  saveLocked();
  cache_ = nullptr;
  exclusions_ = nullptr;
}

bool PersistentVerdicts::save() {
  std::lock_guard<std::mutex> lock(mutex_);
  return saveLocked();
}

bool PersistentVerdicts::saveLocked() {
  if (cache_ == nullptr) return true;
  const std::uint64_t changes = cache_->changes();
  if (changes == savedChanges_) return true;
  std::string exclusions;
  std::uint64_t generation = 0;
  const bool listSteady = exclusionState(&exclusions, &generation);
  VerdictCache::Contents kept = cache_->contents();
  // Verdicts made under an exclusion list other than the one just read are not written; the
  // cache drops them at its next use anyway.
  if (!listSteady || kept.generation != generation) return true;
  const platform::FileSystemIds mounted = mounts_();
  VerdictFile::Contents contents{content_, exclusions, {}};
  contents.entries.reserve(kept.entries.size());
  for (VerdictCache::Kept& entry : kept.entries) {
    const std::optional<std::uint64_t> fileSystem = mounted.idOf(entry.status.device);
    if (!fileSystem) continue;
    contents.entries.push_back({std::move(entry.path), *fileSystem, entry.status.inode,
                                entry.status.size, entry.status.modifiedNs, entry.status.changedNs,
                                std::move(entry.verdict)});
  }
  const platform::Result<> written = VerdictFile::write(path_, contents);
  if (!written) {
    printLine(std::cerr, "[WARN] No se pudieron guardar los veredictos en " + path_ + ": " +
                             written.failure().message);
    return false;
  }
  savedChanges_ = changes;
  return true;
}

void PersistentVerdicts::startBackgroundSaves() {
  if (saver_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    platform::removeAtomicWriteLeftovers(path_);
  }
  saver_ = std::jthread([this](std::stop_token stop) { backgroundLoop(stop); });
}

void PersistentVerdicts::backgroundLoop(std::stop_token stop) {
  platform::lowerCurrentThreadToBackground();
  using Clock = std::chrono::steady_clock;
  std::uint64_t lastSeen = 0;
  Clock::time_point lastChange = Clock::now();
  Clock::time_point pendingSince = Clock::now();
  bool pending = false;
  std::mutex waitMutex;
  std::unique_lock<std::mutex> waitLock(waitMutex);
  while (!stop.stop_requested()) {
    wake_.wait_for(waitLock, stop, kPollInterval, [] { return false; });
    if (stop.stop_requested()) break;
    std::uint64_t changes = 0;
    bool unsaved = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (cache_ != nullptr) {
        changes = cache_->changes();
        unsaved = changes != savedChanges_;
      }
    }
    const Clock::time_point now = Clock::now();
    if (!unsaved) {
      pending = false;
      continue;
    }
    if (!pending) {
      pending = true;
      pendingSince = now;
    }
    if (changes != lastSeen) {
      lastSeen = changes;
      lastChange = now;
    }
    if (now - lastChange >= kQuietPeriod || now - pendingSince >= kMaxDelay) {
      if (save()) {
        pending = false;
      } else {
        // A failed write is tried again after another rest, not at every look.
        lastChange = now;
        pendingSince = now;
      }
    }
  }
}

}  // namespace norvid
