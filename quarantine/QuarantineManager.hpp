#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CallerIdentity.hpp"
#include "platform/Clock.hpp"
#include "quarantine/QuarantineEntry.hpp"

namespace norvid {

// The quarantine store: XOR-coded copies ("<id>.qtn") of detected files in one directory, with
// their records in "metadata.json" beside them.
//
// An instance lives for one operation. It loads metadata.json when built and writes it back when
// destroyed, so instances must never overlap: each holds one process-wide lock from construction
// to destruction. REQUIRES: a thread holds at most one instance at a time (a second one throws
// std::logic_error instead of deadlocking), and destroys it on the thread that built it.
//
// When metadata.json exists but cannot be read, the instance keeps the file exactly as it is:
// it lists nothing, counts 0, and every change fails.
class QuarantineManager {
 public:
  // The 28 bytes every file is coded and decoded with.
  static constexpr std::string_view kQuarantineKey = "QM8T-Seclusion-XOR-Mask-2031";

  // An empty `basePath` selects the data directory + "/Quarantine". The directory is created
  // (mode 0700) if missing; errors here leave a usable instance.
  explicit QuarantineManager(const std::string& basePath,
                             const platform::Clock& clock = platform::SystemClock::instance());
  ~QuarantineManager();
  QuarantineManager(const QuarantineManager&) = delete;
  QuarantineManager& operator=(const QuarantineManager&) = delete;

  // Codes the file into the store, records it, then deletes the original. Returns the new id, or
  // "" on any failure, in which case the file stays where it was. A caller that is not
  // privileged may only quarantine a file it could delete itself.
  std::string quarantineFile(const std::string& filePath, const std::string& threatName,
                             const std::string& scanEngine,
                             const CallerIdentity& caller = CallerIdentity{});

  // Decodes a record's file to `restorePath` (empty: its original path) and drops the record.
  // Never overwrites: an occupied target gets ".restored_<seconds>", then "_1", "_2", ...
  bool restoreFile(const std::string& id, const std::string& restorePath);

  // Removes a record and its coded copy; a record whose copy is already gone is removed too.
  bool deleteFile(const std::string& id);

  std::vector<QuarantineEntry> getEntries() const;
  std::size_t getCount() const;

  bool loadMetadata();
  // Writes the records atomically (0600). False, with the old file untouched, when the records
  // cannot be serialised or written, or when the file could not be loaded. When the file already
  // holds exactly this text (as this instance last read or wrote it, and unchanged since) nothing
  // is written, so instances that only list or count cost no disk write.
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
  };

  void rememberStoredText(std::string text);
  bool fileStillHolds(const StoredText& stored) const;
  const QuarantineEntry* findEntry(const std::string& id) const;
  void eraseEntry(const std::string& id);
  // Removes the record's coded copy, then the record, and saves; `outcome` names what happened
  // to the file in the log line of a failed save. False when the copy cannot be removed.
  bool dropEntry(const QuarantineEntry& entry, const char* outcome);
  void reportLoadFailure(const std::string& problem);

  std::unique_lock<std::mutex> storeLock;
  const platform::Clock& clock;
  std::string quarantineDir;
  std::string metadataPath;
  std::vector<QuarantineEntry> entries;
  // metadata.json as this instance last read or wrote it; empty when it did not exist.
  std::optional<StoredText> storedText;
  bool loadSucceeded = true;
  std::string loadProblem;
};

}  // namespace norvid
