#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CallerIdentity.hpp"
#include "platform/Clock.hpp"
#include "platform/PinnedFile.hpp"
#include "quarantine/QuarantineEntry.hpp"

namespace norvid {

// The quarantine store: XOR-coded copies ("<id>.qtn") of detected files in one directory, with
// their records in "metadata.json" beside them.
//
// An instance reads metadata.json when built, for getEntries and getCount. Every change re-reads
// the file, changes it and writes it back under one process-wide lock, so instances may overlap
// and no change is lost; the lock is held only while metadata.json is read or written, never while
// a file is copied, hashed or deleted, so a quarantine of a large file does not stall the others.
//
// Crash safety: while a quarantine, a restore or a delete is under way a small journal file
// "<id>.pending" says which one. When the store first opens a directory in a process it finishes
// or undoes what a crash interrupted and removes the temporary files left behind, so every file
// ends in exactly one place: its original path, or the store with its record.
//
// When metadata.json exists but cannot be read, the instance keeps the file exactly as it is:
// it lists nothing, counts 0, and every change fails.
class QuarantineManager {
 public:
  // The 28 bytes every file is coded and decoded with.
  static constexpr std::string_view kQuarantineKey = "QM8T-Seclusion-XOR-Mask-2031";
  // Records the store keeps at most; further quarantines are refused.
  static constexpr std::size_t kMaxRecords = 10000;

  // Keeps the store in `basePath`. The directory is created
  // (mode 0700) if missing; errors here leave a usable instance.
  explicit QuarantineManager(const std::string& basePath,
                             const platform::Clock& clock = platform::SystemClock::instance());
  // Writes metadata.json when it does not exist yet; an existing file is never rewritten here.
  ~QuarantineManager();
  QuarantineManager(const QuarantineManager&) = delete;
  QuarantineManager& operator=(const QuarantineManager&) = delete;

  // Codes the file into the store, records it, then deletes the original. Returns the new id, or
  // "" on any failure, in which case the file stays where it was and failureReason() may say why.
  // A caller that is not privileged may only quarantine a file it could delete itself. Refused
  // when the store is full or when the copy would eat into the disk reserve (DiskSpace.hpp).
  std::string quarantineFile(const std::string& filePath, const std::string& threatName,
                             const std::string& scanEngine,
                             const CallerIdentity& caller = CallerIdentity{});

  // The same for a file the caller already opened through its directory (to scan it, say): the
  // copy is made from that open file, and the original is removed only while its name still
  // refers to it. When the name was pointed elsewhere meanwhile, nothing is moved, a WRN line is
  // logged and failureReason() says the file changed during the scan.
  std::string quarantinePinned(platform::PinnedFile& file, const std::string& filePath,
                               const std::string& threatName, const std::string& scanEngine,
                               const CallerIdentity& caller = CallerIdentity{});

  // Why a file was not moved when its name came to refer to another file.
  static constexpr std::string_view kChangedDuringScan = "El archivo cambió durante el escaneo";

  // Why the last quarantineFile failed, for the refusals a caller can act on (store full, disk
  // reserve); empty otherwise.
  const std::string& failureReason() const { return failure; }

  // Decodes a record's file to `restorePath` (empty: its original path) and drops the record.
  // Never overwrites: an occupied target gets ".restored_<seconds>", then "_1", "_2", ...
  bool restoreFile(const std::string& id, const std::string& restorePath);

  // Removes a record and its coded copy; a record whose copy is already gone is removed too.
  bool deleteFile(const std::string& id);

  // The records as of this instance's last read of metadata.json.
  std::vector<QuarantineEntry> getEntries() const;
  std::size_t getCount() const;
  // Names the records this instance holds: equal stamps (other than 0) mean the same records
  // read from the same file, so an answer built from them can be reused.
  std::uint64_t recordsStamp() const { return stamp; }

  // Number of records in the store at `basePath` (empty: the default), without waiting for any
  // operation under way: the count the store keeps, or a lock-free read of metadata.json.
  static std::size_t recordCount(const std::string& basePath);

  // Finishes or undoes the operations a crash interrupted and removes temporary leftovers. Runs
  // by itself when a process first opens the directory; the service calls it at start.
  // REQUIRES: no operation under way on the store.
  static void recoverStore(const std::string& basePath);

  // Re-reads metadata.json (under the store lock).
  bool loadMetadata();
  // Writes this instance's records atomically (0600), under the store lock. False, with the old
  // file untouched, when the records cannot be serialised or written, or when the file could not
  // be loaded. When the file already holds exactly this text (as this instance last read or wrote
  // it, and unchanged since) nothing is written.
  bool saveMetadata();

  // False when metadata.json exists but could not be read; loadError() then says why.
  bool metadataLoaded() const { return loadSucceeded; }
  const std::string& loadError() const { return loadProblem; }

  const std::string& getQuarantineDirectory() const { return quarantineDir; }

  // SHA-256 of a file's contents as 64 lower-case hex digits; empty on failure.
  static std::string calculateSHA256(const std::string& filePath);

  // Writes `sourcePath` XOR-coded with `key` (byte i with key byte i mod key length) to
  // `destPath`, replacing it only once the whole copy is written. Coding twice gives the input
  // back. False on any read or write failure or an empty key.
  static bool encryptFile(const std::string& sourcePath, const std::string& destPath,
                          const std::string& key);

 private:
  struct StoredText {
    std::string text;
    std::uintmax_t size = 0;
    std::filesystem::file_time_type modified;
    std::uint64_t generation = 0;
  };

  // Re-reads metadata.json, lets `change` alter the records and writes them back, all under the
  // store lock. `change` returns false to write nothing. True once the change is on disk.
  bool commit(const std::function<bool(std::vector<QuarantineEntry>&)>& change);
  // REQUIRES: the store lock held.
  bool loadLocked();
  bool saveLocked();
  void recoverLocked();
  // Offers the records just read from disk to the next instances. REQUIRES: the store lock.
  void shareRecords();

  // Checks the store, then quarantines the file `open` gives (null: refused, already said why).
  std::string quarantineChecked(const std::string& filePath,
                                const std::function<platform::PinnedFile*()>& open,
                                const std::string& threatName, const std::string& scanEngine,
                                const CallerIdentity& caller);
  // Whether `caller` may remove the file from its directory; a refusal is logged.
  bool callerMayRemove(const platform::PinnedFile& file, const std::string& filePath,
                       const CallerIdentity& caller);
  // The quarantine of an opened original, once its removal was allowed.
  std::string quarantineOpened(platform::PinnedFile& file, const std::string& filePath,
                               const std::string& threatName, const std::string& scanEngine,
                               const CallerIdentity& caller);
  // The two steps on the original file, each done with the caller's rights in mind.
  std::optional<platform::PinnedFile> openOriginal(const std::string& filePath,
                                                   const CallerIdentity& caller);
  bool unlinkOriginal(platform::PinnedFile& file, const std::string& filePath,
                      const CallerIdentity& caller);
  // Refusals that leave the file in place and say so in the event log.
  std::string refuse(const std::string& reason, const std::string& filePath);

  void rememberStoredText(std::string text);
  bool fileStillHolds(const StoredText& stored) const;
  const QuarantineEntry* findEntry(const std::string& id) const;
  void reportLoadFailure(const std::string& problem);

  const platform::Clock& clock;
  std::string quarantineDir;
  std::string metadataPath;
  std::vector<QuarantineEntry> entries;
  // metadata.json as this instance last read or wrote it; empty when it did not exist.
  std::optional<StoredText> storedText;
  bool loadSucceeded = true;
  std::string loadProblem;
  std::string failure;
  std::uint64_t stamp = 0;
};

}  // namespace norvid
