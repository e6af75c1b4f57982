#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "engine/VerdictCache.hpp"
#include "platform/FileSystemIds.hpp"

namespace norvid {

class ContentFingerprint;
class ExclusionsManager;

// Keeps a scanner's verdict cache in a file (see VerdictFile) so that a restarted service answers
// unchanged files as the last one did, without reading them. The cache stays the only one the
// scanner asks; this store only fills it at start and writes it out now and then, never while a
// file is judged. Verdicts hold for the content fingerprint and the exclusion list they were made
// under, and name their file by its file system's own id instead of the device number, which a
// reboot or a remount may hand to another file system; entries on file systems not mounted now
// are dropped. The file is written when the cache changed and then rested (a scan ended), at
// least every few minutes while it keeps changing, when the cache is let go and at detach().
// Thread-safe.
class PersistentVerdicts {
 public:
  using MountTable = std::function<platform::FileSystemIds()>;

  // Keeps the verdicts in `path`.
  explicit PersistentVerdicts(std::string path,
                              MountTable mounts = &platform::FileSystemIds::mounted);
  // Stops background saves; the attached cache is not written (detach() does).
  ~PersistentVerdicts();
  PersistentVerdicts(const PersistentVerdicts&) = delete;
  PersistentVerdicts& operator=(const PersistentVerdicts&) = delete;

  // Backs `cache` from now on and restores into it the file's verdicts made under the same
  // content and exclusion list; gives how many. `content` is the digest of the engine the cache's
  // scanner judges with; when it is empty nothing is restored nor ever written. `exclusions` is
  // the list the scanner asks (null: none). A file that cannot be read or is not valid is ignored
  // with a console line. REQUIRES: `cache` and `exclusions` outlive the attachment (until
  // detach()).
  std::size_t attach(VerdictCache& cache, const std::string& content,
                     const ExclusionsManager* exclusions);

  // The same for an engine loaded from the folders `fingerprint` read, provided none of their
  // files changed while the engine loaded (then the digest may not describe what was loaded, and
  // the cache is not backed).
  std::size_t attach(VerdictCache& cache, const ContentFingerprint& fingerprint,
                     const ExclusionsManager* exclusions);

  // Writes what the attached cache keeps, when it changed, and lets the cache go.
  void detach();

  // Writes now, when the attached cache changed since it was restored or written. False when the
  // write failed (the file then stays as it was).
  bool save();

  // Writes in the background from now on, on a thread of background priority, after removing
  // what writes cut short by a crash left beside the file. Call it once this process is the one
  // serving (no other instance writes the file).
  void startBackgroundSaves();

  // How long the cache rests after a change before it is written, and the longest a change waits
  // while the cache keeps changing.
  static constexpr std::chrono::seconds kQuietPeriod{30};
  static constexpr std::chrono::seconds kMaxDelay{600};

  const std::string& path() const { return path_; }

 private:
  // The digest of the exclusion list and the generation it has; false when the list changed
  // while it was read.
  bool exclusionState(std::string* digest, std::uint64_t* generation) const;
  // REQUIRES: mutex_ held.
  bool saveLocked();
  void backgroundLoop(std::stop_token stop);

  const std::string path_;
  MountTable mounts_;
  std::mutex mutex_;
  const ExclusionsManager* exclusions_ = nullptr;
  VerdictCache* cache_ = nullptr;
  std::string content_;
  // The cache's change count that the file holds.
  std::uint64_t savedChanges_ = 0;
  std::condition_variable_any wake_;
  std::jthread saver_;
};

}  // namespace norvid
