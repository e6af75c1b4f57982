#include "quarantine/QuarantineManager.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>

#include "logging/EventLogger.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/DiskSpace.hpp"
#include "platform/FileAccess.hpp"
#include "platform/FileHandle.hpp"
#include "platform/FsCredentialsGuard.hpp"
#include "platform/JsonFileStore.hpp"
#include "platform/RandomId.hpp"
#include "platform/Sha256.hpp"
#include "platform/SystemError.hpp"

namespace norvid {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kPrefix = "[QuarantineManager] ";
constexpr std::size_t kBlockSize = 64 * 1024;
// Restore gives up after this many occupied ".restored_" names rather than search forever.
constexpr int kMaxRestoreNames = 10000;
// Beyond this many seconds from 1970 a date no longer fits the clock's nanosecond count.
constexpr double kMaxDateSeconds = 9.0e9;
constexpr const char* kJournalSuffix = ".pending";
constexpr const char* kPartMarker = ".part-";

const fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

// Guards every read and write of metadata.json, and the per-directory state below. Never held
// while a file is copied, hashed or deleted.
std::mutex& storeMutex() {
  static std::mutex mutex;
  return mutex;
}

// What the process knows about one store directory.
struct StoreState {
  // Guarded by the store lock.
  std::uint64_t generation = 0;  // bumped by every write of metadata.json
  bool recovered = false;
  // The records as last read or written, shared by the instances, so that listing a large store
  // does not parse metadata.json again while nothing has changed it.
  std::shared_ptr<const std::vector<QuarantineEntry>> records;
  std::shared_ptr<const std::string> recordsText;
  std::uintmax_t recordsSize = 0;
  fs::file_time_type recordsModified;
  std::uint64_t recordsGeneration = 0;
  std::uint64_t recordsStamp = 0;
  // The record count and the file it was taken from, so that status can answer without the
  // store lock. Guarded by countMutex, which is never held during file work.
  std::mutex countMutex;
  bool countKnown = false;
  std::uintmax_t countedSize = 0;
  fs::file_time_type countedModified;
  std::size_t count = 0;
  // Ids a restore or delete is working on right now. Guarded by countMutex.
  std::set<std::string> busyIds;
};

StoreState& stateOf(const std::string& directory) {
  static std::mutex registryMutex;
  static std::map<std::string, StoreState> states;
  std::lock_guard<std::mutex> guard(registryMutex);
  return states[directory];
}

std::string resolveDirectory(const std::string& basePath) {
  std::string directory = basePath;
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

// Records the count of records in `metadataPath` as the file now stands.
void publishCount(StoreState& state, const std::string& metadataPath, std::size_t count) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(metadataPath, error);
  fs::file_time_type modified;
  if (!error) modified = fs::last_write_time(metadataPath, error);
  std::lock_guard<std::mutex> guard(state.countMutex);
  state.countKnown = !error;
  state.countedSize = size;
  state.countedModified = modified;
  state.count = count;
}

// Keeps one restore or delete per id at a time, so two of them never race over one record.
class IdClaim {
 public:
  IdClaim(StoreState& state, std::string id) : state_(state), id_(std::move(id)) {
    std::lock_guard<std::mutex> guard(state_.countMutex);
    held_ = state_.busyIds.insert(id_).second;
  }
  ~IdClaim() {
    if (!held_) return;
    std::lock_guard<std::mutex> guard(state_.countMutex);
    state_.busyIds.erase(id_);
  }
  IdClaim(const IdClaim&) = delete;
  IdClaim& operator=(const IdClaim&) = delete;
  explicit operator bool() const { return held_; }

 private:
  StoreState& state_;
  std::string id_;
  bool held_ = false;
};

// "<id>.pending" in the store: names the operation under way on a record, so that a restart after
// a crash can finish or undo it. Removed when the operation has ended, whichever way it went.
class Journal {
 public:
  Journal(const std::string& directory, const std::string& id)
      : path_(directory + "/" + id + kJournalSuffix) {}
  ~Journal() { finish(); }
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Throws when `what` cannot be serialised (a path that is not UTF-8).
  bool write(const json& what) {
    active_ = platform::writeFileAtomically(path_, what.dump(), kOwnerOnly).ok();
    return active_;
  }
  void finish() {
    if (!active_) return;
    std::error_code ignored;
    fs::remove(path_, ignored);
    active_ = false;
  }

 private:
  std::string path_;
  bool active_ = false;
};

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool pathExists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

// Removes the record `id` from `records`; `copyPath` gets its coded copy's path. False when there
// is no such record.
bool eraseRecord(std::vector<QuarantineEntry>& records, const std::string& id,
                 std::string* copyPath = nullptr) {
  auto found = std::find_if(records.begin(), records.end(),
                            [&](const QuarantineEntry& entry) { return entry.id == id; });
  if (found == records.end()) return false;
  if (copyPath != nullptr) *copyPath = found->quarantine_path;
  records.erase(found);
  return true;
}

// Removes a coded copy whose record is gone; a failure is logged (the next start removes it).
void removeCopy(const std::string& id, const std::string& copyPath, const char* outcome) {
  std::error_code code;
  fs::remove(copyPath, code);
  if (code) {
    EventLogger::instance().error(
        "Cuarentena: archivo " + id + " " + outcome +
        ", pero su copia no se pudo borrar: " + platform::errnoText(code.value()));
  }
}

// The last load problem written to the event log, so that a file that stays corrupt is reported
// once and not by every instance that trips over it. Guarded by the store lock.
std::string& lastReportedLoadProblem() {
  static std::string problem;
  return problem;
}

void progress(const std::string& text) { std::cout << kPrefix << text << std::endl; }
void problem(const std::string& text) { std::cerr << kPrefix << text << std::endl; }

// A caller that could not remove the file itself does not have the service remove it.
void refuseForCaller(const CallerIdentity& caller, const std::string& path,
                     const std::string& reason) {
  problem("ERROR: Acceso denegado: " + path);
  EventLogger::instance().error("Cuarentena rechazada: acceso denegado para uid " +
                                std::to_string(caller.uid) + " sobre " + path + " (" + reason +
                                ")");
}

// Codes `source` from its start into `dest`: byte i XOR key byte (i mod key length), one block at
// a time. Returns the number of bytes written, or nothing on a read or write failure.
std::optional<std::uint64_t> codeInto(const platform::FileHandle& source,
                                      platform::FileHandle& dest, std::string_view key,
                                      std::string* error) {
  std::vector<char> block(kBlockSize);
  // The key repeated over a block and one key length more: a block starting at any key position
  // is coded against one contiguous slice, a loop the compiler can vectorise.
  std::vector<char> keyStream(kBlockSize + key.size());
  for (std::size_t i = 0; i < keyStream.size(); ++i) keyStream[i] = key[i % key.size()];
  std::uint64_t offset = 0;
  while (true) {
    const platform::Result<std::size_t> got = source.readAt(offset, block.data(), block.size());
    if (!got) {
      if (error != nullptr) *error = got.message();
      return std::nullopt;
    }
    if (*got == 0) return offset;
    const char* slice = keyStream.data() + offset % key.size();
    for (std::size_t i = 0; i < *got; ++i) block[i] ^= slice[i];
    if (platform::Result<> written = dest.writeAll(block.data(), *got); !written) {
      if (error != nullptr) *error = written.message();
      return std::nullopt;
    }
    offset += *got;
  }
}

std::string hashOf(const platform::FileHandle& file) {
  platform::Sha256 hash;
  std::vector<char> block(kBlockSize);
  std::uint64_t offset = 0;
  while (hash.ok()) {
    const platform::Result<std::size_t> got = file.readAt(offset, block.data(), block.size());
    if (!got) return {};
    if (*got == 0) break;
    hash.update(block.data(), *got);
    offset += *got;
  }
  return hash.finishHex();
}

// Writes the coded copy of `source` to a fresh temporary file beside `destPath` and renames it
// into place only when it holds exactly `expectedSize` bytes and is on disk. Readers therefore
// never see a partial copy, and a short read never passes for a complete one.
bool writeCodedCopy(const platform::FileHandle& source, std::uint64_t expectedSize,
                    const std::string& destPath, std::string_view key, std::string* error,
                    std::optional<std::pair<std::uint32_t, std::uint32_t>> owner = std::nullopt) {
  std::string temporary = destPath + ".part-" + platform::generateRandomId().substr(0, 8);
  platform::Result<platform::FileHandle> created = platform::FileHandle::createExclusively(
      temporary, kOwnerOnly, platform::DirectoryLinks::Follow);
  if (!created) {
    if (error != nullptr) *error = created.message();
    return false;
  }
  platform::FileHandle& dest = *created;
  auto abandon = [&]() {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return false;
  };
  std::optional<std::uint64_t> written = codeInto(source, dest, key, error);
  if (!written) return abandon();
  if (*written != expectedSize) {
    if (error != nullptr) {
      *error =
          "copied " + std::to_string(*written) + " of " + std::to_string(expectedSize) + " bytes";
    }
    return abandon();
  }
  if (owner) dest.changeOwner(owner->first, owner->second);
  platform::Result<> stored = dest.syncToDisk();
  if (stored) stored = dest.close();
  if (!stored) {
    if (error != nullptr) *error = stored.message();
    return abandon();
  }
  std::error_code code;
  fs::rename(temporary, destPath, code);
  if (code) {
    if (error != nullptr) *error = platform::errnoText(code.value());
    return abandon();
  }
  return true;
}

std::string joinPath(const std::string& directory, const std::string& name) {
  if (!directory.empty() && directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

// metadata.json, kept private to the service.
platform::JsonFileStore metadataFile(const std::string& path) {
  return platform::JsonFileStore(path, kOwnerOnly);
}

// Why metadata.json could not be read, as the store reports it.
std::string readProblem(const platform::JsonFileStore::Reading& reading) {
  switch (reading.fault) {
    case platform::JsonFileStore::Fault::Parse:
      return reading.reason;
    case platform::JsonFileStore::Fault::Read:
      return "no se pudo leer el archivo";
    default:
      // Here the name exists (the caller looked), so even a "missing" file is one that could not
      // be opened: a link to nothing.
      return "no se pudo abrir el archivo";
  }
}

const json& member(const json& record, const char* key) {
  auto found = record.find(key);
  if (found == record.end()) throw std::runtime_error(std::string("falta \"") + key + "\"");
  return *found;
}

std::string textMember(const json& record, const char* key) {
  const json& value = member(record, key);
  if (!value.is_string()) throw std::runtime_error(std::string("\"") + key + "\" no es texto");
  return value.get<std::string>();
}

// A JSON number as a whole count; fractions are cut toward zero.
double numberMember(const json& record, const char* key, double low, double high) {
  const json& value = member(record, key);
  if (!value.is_number()) throw std::runtime_error(std::string("\"") + key + "\" no es número");
  double number = std::trunc(value.get<double>());
  if (!(number >= low && number < high)) {
    throw std::runtime_error(std::string("\"") + key + "\" fuera de rango");
  }
  return number;
}

QuarantineEntry entryFromJson(const json& record) {
  if (!record.is_object()) throw std::runtime_error("el registro no es un objeto");
  QuarantineEntry entry;
  entry.id = textMember(record, "id");
  entry.original_path = textMember(record, "original_path");
  entry.quarantine_path = textMember(record, "quarantine_path");
  entry.threat_name = textMember(record, "threat_name");
  entry.file_hash = textMember(record, "file_hash");
  const json& size = member(record, "file_size");
  if (size.is_number_unsigned()) {
    entry.file_size = size.get<std::uint64_t>();
  } else {
    entry.file_size = static_cast<std::uint64_t>(numberMember(record, "file_size", 0, 0x1p64));
  }
  const json& date = member(record, "quarantine_date");
  long long seconds = 0;
  if (date.is_number_integer() && !date.is_number_unsigned()) {
    seconds = date.get<long long>();
    if (std::abs(static_cast<double>(seconds)) >= kMaxDateSeconds) {
      throw std::runtime_error("\"quarantine_date\" fuera de rango");
    }
  } else {
    seconds = static_cast<long long>(
        numberMember(record, "quarantine_date", -kMaxDateSeconds, kMaxDateSeconds));
  }
  entry.quarantine_date = std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
  if (record.contains("scan_engine")) entry.scan_engine = textMember(record, "scan_engine");
  return entry;
}

// The records a reading of metadata.json holds; throws, saying why, when the store cannot load
// them (the file unreadable, not the expected document, or any record of the wrong shape).
std::vector<QuarantineEntry> recordsOf(const platform::JsonFileStore::Reading& reading) {
  if (reading.outcome != platform::JsonFileStore::Outcome::Read) {
    throw std::runtime_error(readProblem(reading));
  }
  const json& document = reading.document;
  if (!document.is_object()) throw std::runtime_error("el documento no es un objeto");
  std::vector<QuarantineEntry> records;
  auto list = document.find("entries");
  if (list == document.end() || list->is_null()) return records;
  if (!list->is_array()) throw std::runtime_error("\"entries\" no es una lista");
  records.reserve(list->size());
  for (std::size_t index = 0; index < list->size(); ++index) {
    try {
      records.push_back(entryFromJson((*list)[index]));
    } catch (const std::exception& error) {
      throw std::runtime_error("registro " + std::to_string(index) + ": " + error.what());
    }
  }
  return records;
}

json entryToJson(const QuarantineEntry& entry) {
  return json{
      {"file_hash", entry.file_hash},
      {"file_size", entry.file_size},
      {"id", entry.id},
      {"original_path", entry.original_path},
      {"quarantine_date", static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(
                                                     entry.quarantine_date.time_since_epoch())
                                                     .count())},
      {"quarantine_path", entry.quarantine_path},
      {"scan_engine", entry.scan_engine},
      {"threat_name", entry.threat_name},
  };
}

}  // namespace

QuarantineManager::QuarantineManager(const std::string& basePath, const platform::Clock& clock)
    : clock(clock) {
  try {
    quarantineDir = resolveDirectory(basePath);
    metadataPath = joinPath(quarantineDir, "metadata.json");
    platform::createPrivateDirectory(quarantineDir);
    std::lock_guard<std::mutex> guard(storeMutex());
    StoreState& state = stateOf(quarantineDir);
    if (!state.recovered) {
      state.recovered = true;
      recoverLocked();
    } else {
      loadLocked();
    }
  } catch (const std::exception& error) {
    entries.clear();
    loadSucceeded = false;
    loadProblem = error.what();
  }
}

QuarantineManager::~QuarantineManager() {
  try {
    if (loadSucceeded && !pathExists(metadataPath)) commit([](auto&) { return true; });
  } catch (...) {
  }
}

std::string QuarantineManager::refuse(const std::string& reason, const std::string& filePath) {
  failure = reason + ".";
  problem("ERROR: " + reason + ": " + filePath);
  EventLogger::instance().warning("Cuarentena rechazada: " + reason + ": " + filePath);
  return {};
}

// The original is looked at, opened and later removed with the caller's own file-system identity,
// so the kernel decides (permissions, ACLs, unreachable parents, sticky directories) exactly as it
// would for the caller itself; the store is written as the service.
std::optional<platform::PinnedFile> QuarantineManager::openOriginal(const std::string& filePath,
                                                                    const CallerIdentity& caller) {
  platform::FsCredentialsGuard asCaller(caller);
  std::error_code code;
  fs::file_status status = fs::symlink_status(filePath, code);
  if (!fs::exists(status)) {
    problem("ERROR: Archivo no existe: " + filePath);
    return std::nullopt;
  }
  if (!fs::is_regular_file(status)) {
    problem("ERROR: No es un archivo regular: " + filePath);
    return std::nullopt;
  }
  // All further steps go through this handle, so they act on the file that was checked even if
  // the path is switched to something else meanwhile.
  platform::Result<platform::PinnedFile> file = platform::PinnedFile::open(filePath);
  if (!file) {
    problem("EXCEPTION: " + file.message());
    return std::nullopt;
  }
  if (!callerMayRemove(*file, filePath, caller)) return std::nullopt;
  return std::move(*file);
}

bool QuarantineManager::callerMayRemove(const platform::PinnedFile& file,
                                        const std::string& filePath, const CallerIdentity& caller) {
  platform::FsCredentialsGuard asCaller(caller);
  if (platform::Result<> allowed = file.mayRemove(); !allowed) {
    refuseForCaller(caller, filePath, allowed.message());
    return false;
  }
  return true;
}

bool QuarantineManager::unlinkOriginal(platform::PinnedFile& file, const std::string& filePath,
                                       const CallerIdentity& caller) {
  platform::Result<> removed;
  {
    platform::FsCredentialsGuard asCaller(caller);
    removed = file.removeIfUnchanged();
  }
  if (!removed) {
    if (removed.failure().code == ESTALE || removed.failure().code == ENOENT) {
      // The name no longer refers to the file that was opened (and scanned): what it names now
      // was never judged, so nothing is moved.
      failure = std::string(kChangedDuringScan) + ".";
      problem("ERROR: " + std::string(kChangedDuringScan) + ": " + filePath);
      EventLogger::instance().warning("Cuarentena omitida: " + std::string(kChangedDuringScan) +
                                      ": " + filePath);
    } else if (caller.isPrivileged()) {
      problem("ERROR al eliminar original: " + removed.message());
    } else {
      refuseForCaller(caller, filePath, removed.message());
    }
  }
  return removed.ok();
}

std::string QuarantineManager::quarantineFile(const std::string& filePath,
                                              const std::string& threatName,
                                              const std::string& scanEngine,
                                              const CallerIdentity& caller) {
  std::optional<platform::PinnedFile> file;
  return quarantineChecked(
      filePath,
      [&]() -> platform::PinnedFile* {
        file = openOriginal(filePath, caller);
        return file ? &*file : nullptr;
      },
      threatName, scanEngine, caller);
}

std::string QuarantineManager::quarantinePinned(platform::PinnedFile& file,
                                                const std::string& filePath,
                                                const std::string& threatName,
                                                const std::string& scanEngine,
                                                const CallerIdentity& caller) {
  return quarantineChecked(
      filePath,
      [&]() -> platform::PinnedFile* {
        return callerMayRemove(file, filePath, caller) ? &file : nullptr;
      },
      threatName, scanEngine, caller);
}

std::string QuarantineManager::quarantineChecked(const std::string& filePath,
                                                 const std::function<platform::PinnedFile*()>& open,
                                                 const std::string& threatName,
                                                 const std::string& scanEngine,
                                                 const CallerIdentity& caller) {
  progress("Iniciando cuarentena: " + filePath);
  failure.clear();
  try {
    if (!loadSucceeded) {
      problem("ERROR: metadata.json no se pudo leer: " + loadProblem);
      return {};
    }
    platform::PinnedFile* file = open();
    if (file == nullptr) return {};
    return quarantineOpened(*file, filePath, threatName, scanEngine, caller);
  } catch (const std::exception& exception) {
    problem(std::string("EXCEPTION: ") + exception.what());
    return {};
  }
}

std::string QuarantineManager::quarantineOpened(platform::PinnedFile& pinned,
                                                const std::string& filePath,
                                                const std::string& threatName,
                                                const std::string& scanEngine,
                                                const CallerIdentity& caller) {
  platform::PinnedFile* file = &pinned;
  std::string qtnPath;
  std::string recordedId;
  // Undoes a half-done quarantine: the record goes, the coded copy goes, the file stays.
  auto rollBack = [&]() {
    if (!recordedId.empty()) {
      commit(
          [&](std::vector<QuarantineEntry>& records) { return eraseRecord(records, recordedId); });
      recordedId.clear();
    }
    if (!qtnPath.empty()) {
      std::error_code ignored;
      fs::remove(qtnPath, ignored);
    }
    return std::string();
  };
  try {
    std::error_code code;
    if (!fs::is_directory(quarantineDir, code)) {
      progress("Creando directorio: " + quarantineDir);
      const platform::Result<> created = platform::createPrivateDirectory(quarantineDir);
      if (!created) {
        problem("ERROR al crear directorio: " + created.message());
        return {};
      }
    }

    QuarantineEntry entry;
    entry.id = platform::generateRandomId();
    entry.original_path = file->resolvedPath();
    entry.threat_name = threatName;
    entry.scan_engine = scanEngine;
    entry.quarantine_date = clock.now();

    std::string error;
    const platform::Result<platform::FileStatus> fileStatus = file->content().status();
    if (!fileStatus) {
      problem("ERROR al obtener tamaño: " + fileStatus.message());
      return {};
    }
    entry.file_size = fileStatus->size;
    progress("Tamaño archivo: " + std::to_string(entry.file_size) + " bytes");

    if (recordCount(quarantineDir) >= kMaxRecords) {
      return refuse(
          "La cuarentena ya guarda el máximo de " + std::to_string(kMaxRecords) + " archivos",
          filePath);
    }
    const platform::Result<> room = platform::leavesDiskReserve(quarantineDir, entry.file_size);
    if (!room) {
      return refuse("Espacio en disco insuficiente (" + room.message() + ")", filePath);
    }

    progress("Calculando SHA256...");
    entry.file_hash = hashOf(file->content());
    if (entry.file_hash.empty()) {
      problem("WARNING: No se pudo calcular hash");
      entry.file_hash = "unknown";
    }

    entry.quarantine_path = joinPath(quarantineDir, entry.id + ".qtn");
    progress("Ruta cuarentena: " + entry.quarantine_path);

    Journal journal(quarantineDir, entry.id);
    if (!journal.write({{"operation", "quarantine"}, {"original", entry.original_path}})) {
      problem("ERROR: No se pudo escribir el diario de la operación");
      return {};
    }

    progress("Cifrando archivo...");
    // The copy keeps the owner of the original, so that a restore can hand the file back to it.
    if (!writeCodedCopy(file->content(), entry.file_size, entry.quarantine_path, kQuarantineKey,
                        &error, std::make_pair(fileStatus->uid, fileStatus->gid))) {
      problem("ERROR: No se pudo cifrar archivo");
      return {};
    }
    qtnPath = entry.quarantine_path;
    if (!fs::exists(entry.quarantine_path, code)) {
      problem("ERROR: Archivo cifrado no existe después de encryptFile()");
      return rollBack();
    }
    progress("Archivo cifrado exitosamente");

    // The record is on disk before the original goes, so the file is never without a record.
    bool full = false;
    const bool recorded = commit([&](std::vector<QuarantineEntry>& records) {
      full = records.size() >= kMaxRecords;
      if (full) return false;
      records.push_back(entry);
      return true;
    });
    if (!recorded) {
      if (full) {
        rollBack();
        return refuse(
            "La cuarentena ya guarda el máximo de " + std::to_string(kMaxRecords) + " archivos",
            filePath);
      }
      problem("ERROR: No se pudo guardar metadata.json");
      return rollBack();
    }
    recordedId = entry.id;

    progress("Eliminando archivo original...");
    if (!unlinkOriginal(*file, filePath, caller)) {
      return rollBack();
    }
    journal.finish();
    progress("Archivo original eliminado");
    progress("✅ Cuarentena exitosa. ID: " + entry.id);
    return entry.id;
  } catch (const std::exception& exception) {
    problem(std::string("EXCEPTION: ") + exception.what());
    return rollBack();
  }
}

bool QuarantineManager::restoreFile(const std::string& id, const std::string& restorePath) {
  try {
    if (!loadSucceeded) return false;
    IdClaim claim(stateOf(quarantineDir), id);
    if (!claim || !loadMetadata()) return false;
    const QuarantineEntry* found = findEntry(id);
    if (found == nullptr) return false;
    const QuarantineEntry entry = *found;
    const std::string target = restorePath.empty() ? entry.original_path : restorePath;

    platform::FileHandle source = platform::FileHandle::openForReading(entry.quarantine_path)
                                      .value_or(platform::FileHandle());
    if (!source.isOpen()) return false;
    const platform::Result<platform::FileStatus> sourceStatus = source.status();
    if (!sourceStatus) return false;

    // The file is decoded under a hidden name beside the target and then linked to the first free
    // name, so the target never shows a partial file and nothing is ever overwritten. While the
    // staged name exists, its link count tells a restart whether the file was already placed.
    const fs::path targetPath(target);
    const std::string staged =
        (targetPath.parent_path() / ("." + targetPath.filename().string() + ".norvid-restore-" +
                                     platform::generateRandomId().substr(0, 8)))
            .string();
    Journal journal(quarantineDir, id);
    if (!journal.write({{"operation", "restore"}, {"staged", staged}})) return false;
    // The directory must be reached without symbolic links: the file goes back exactly where the
    // record says, never where a link planted since then points.
    platform::FileHandle dest = platform::FileHandle::createExclusively(
                                    staged, kOwnerOnly, platform::DirectoryLinks::Refuse)
                                    .value_or(platform::FileHandle());
    if (!dest.isOpen()) return false;
    auto discardStaged = [&]() {
      std::error_code ignored;
      fs::remove(staged, ignored);
      return false;
    };
    std::optional<std::uint64_t> written = codeInto(source, dest, kQuarantineKey, nullptr);
    bool complete = written && *written == sourceStatus->size;
    if (complete) {
      dest.changeOwner(sourceStatus->uid, sourceStatus->gid);
      complete = dest.syncToDisk() && dest.close();
    }
    if (!complete) {
      dest.close();
      return discardStaged();
    }

    const std::string stamp =
        ".restored_" + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                          clock.now().time_since_epoch())
                                          .count());
    std::string restored;
    bool placed = false;
    for (int attempt = 0; attempt <= kMaxRestoreNames && !placed; ++attempt) {
      restored = attempt == 0   ? target
                 : attempt == 1 ? target + stamp
                                : target + stamp + "_" + std::to_string(attempt - 1);
      std::error_code code;
      fs::create_hard_link(staged, restored, code);
      if (!code) {
        placed = true;
      } else if (code == std::errc::operation_not_permitted ||
                 code == std::errc::operation_not_supported) {
        // A file system without hard links: move the staged file, when the name is still free.
        if (pathExists(restored)) continue;
        fs::rename(staged, restored, code);
        if (code) return discardStaged();
        placed = true;
      } else if (code != std::errc::file_exists) {
        return discardStaged();
      }
    }
    if (!placed) return discardStaged();

    std::string removedCopy;
    if (!commit([&](auto& records) { return eraseRecord(records, id, &removedCopy); })) {
      // The record stays, so the file must not also stay at its old place.
      std::error_code ignored;
      fs::remove(restored, ignored);
      return discardStaged();
    }
    discardStaged();
    removeCopy(id, removedCopy, "restaurado");
    journal.finish();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool QuarantineManager::deleteFile(const std::string& id) {
  try {
    if (!loadSucceeded) return false;
    IdClaim claim(stateOf(quarantineDir), id);
    if (!claim || !loadMetadata() || findEntry(id) == nullptr) return false;
    Journal journal(quarantineDir, id);
    if (!journal.write({{"operation", "delete"}})) return false;
    // The record goes first: a crash before the copy is removed leaves a copy that the next start
    // removes, never a record without its copy.
    std::string removedCopy;
    if (!commit([&](auto& records) { return eraseRecord(records, id, &removedCopy); })) {
      return false;
    }
    removeCopy(id, removedCopy, "eliminado");
    journal.finish();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::vector<QuarantineEntry> QuarantineManager::getEntries() const { return entries; }

std::size_t QuarantineManager::getCount() const { return entries.size(); }

std::size_t QuarantineManager::recordCount(const std::string& basePath) {
  const std::string directory = resolveDirectory(basePath);
  const std::string metadata = joinPath(directory, "metadata.json");
  StoreState& state = stateOf(directory);
  std::error_code error;
  const std::uintmax_t size = fs::file_size(metadata, error);
  if (error) return 0;
  const fs::file_time_type modified = fs::last_write_time(metadata, error);
  {
    std::lock_guard<std::mutex> guard(state.countMutex);
    if (!error && state.countKnown && state.countedSize == size &&
        state.countedModified == modified) {
      return state.count;
    }
  }
  // The file is only ever replaced by a rename, so a read without the store lock sees one whole
  // version of it. The count is what a load of that version gives: 0 when the store would refuse
  // it, whatever the size of its list.
  try {
    return recordsOf(metadataFile(metadata).read()).size();
  } catch (const std::exception&) {
    return 0;
  }
}

void QuarantineManager::recoverStore(const std::string& basePath) {
  QuarantineManager store(basePath);
  std::lock_guard<std::mutex> guard(storeMutex());
  store.recoverLocked();
}

void QuarantineManager::recoverLocked() {
  if (!loadLocked()) return;
  std::vector<std::string> journals;
  std::error_code code;
  for (fs::directory_iterator it(quarantineDir, code), end; !code && it != end;
       it.increment(code)) {
    const std::string name = it->path().filename().string();
    const bool atomicWriteTemporary =
        name.size() > 1 && name[0] == '.' && name.find(".tmp-") != std::string::npos;
    if (name.find(kPartMarker) != std::string::npos || atomicWriteTemporary) {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
    } else if (endsWith(name, kJournalSuffix)) {
      journals.push_back(name);
    }
  }

  bool changed = false;
  auto dropRecord = [&](const std::string& id) {
    if (eraseRecord(entries, id)) changed = true;
  };
  std::vector<std::string> copiesToRemove;
  for (const std::string& name : journals) {
    const std::string id = name.substr(0, name.size() - std::string(kJournalSuffix).size());
    const std::string journalPath = joinPath(quarantineDir, name);
    const std::string copy = joinPath(quarantineDir, id + ".qtn");
    std::string operation;
    json what;
    try {
      std::ifstream in(journalPath, std::ios::binary);
      what = json::parse(in, nullptr, true, false);
      operation = what.value("operation", "");
    } catch (const std::exception&) {
      operation.clear();
    }
    const bool recorded = findEntry(id) != nullptr;
    std::string outcome;
    if (operation == "quarantine") {
      // The original is deleted last: while it is still there, the quarantine did not happen.
      if (pathExists(what.value("original", ""))) {
        dropRecord(id);
        copiesToRemove.push_back(copy);
        outcome = "cuarentena deshecha";
      } else {
        outcome = "cuarentena completada";
      }
    } else if (operation == "restore") {
      const std::string staged = what.value("staged", "");
      std::error_code linkError;
      const std::uintmax_t links = staged.empty() ? 0 : fs::hard_link_count(staged, linkError);
      if (!staged.empty() && !linkError) {
        // A second link means the file already reached its place.
        if (links > 1) {
          dropRecord(id);
          copiesToRemove.push_back(copy);
          outcome = "restauración completada";
        } else {
          outcome = "restauración deshecha";
        }
        std::error_code ignored;
        fs::remove(staged, ignored);
      } else if (!recorded) {
        copiesToRemove.push_back(copy);
        outcome = "restauración completada";
      } else {
        outcome = "restauración deshecha";
      }
    } else if (operation == "delete") {
      if (!recorded) copiesToRemove.push_back(copy);
      outcome = recorded ? "eliminación deshecha" : "eliminación completada";
    } else {
      outcome = "diario ilegible descartado";
    }
    EventLogger::instance().warning("Cuarentena: operación interrumpida sobre " + id + ": " +
                                    outcome);
    if (changed && !saveLocked()) return;
    changed = false;
    for (const std::string& path : copiesToRemove) {
      std::error_code ignored;
      fs::remove(path, ignored);
    }
    copiesToRemove.clear();
    std::error_code ignored;
    fs::remove(journalPath, ignored);
  }
}

bool QuarantineManager::commit(const std::function<bool(std::vector<QuarantineEntry>&)>& change) {
  std::lock_guard<std::mutex> guard(storeMutex());
  if (!loadLocked()) return false;
  if (!change(entries)) return false;
  if (saveLocked()) return true;
  // Memory follows the file, which still holds the records as they were.
  storedText.reset();
  loadLocked();
  return false;
}

bool QuarantineManager::loadMetadata() {
  std::lock_guard<std::mutex> guard(storeMutex());
  return loadLocked();
}

bool QuarantineManager::saveMetadata() {
  std::lock_guard<std::mutex> guard(storeMutex());
  return saveLocked();
}

bool QuarantineManager::loadLocked() {
  StoreState& state = stateOf(quarantineDir);
  // Nothing has written the file since this instance read it: the records are current.
  if (storedText && loadSucceeded && storedText->generation == state.generation &&
      fileStillHolds(*storedText)) {
    return true;
  }
  entries.clear();
  storedText.reset();
  stamp = 0;
  loadSucceeded = true;
  loadProblem.clear();
  std::error_code code;
  if (!fs::exists(fs::symlink_status(metadataPath, code))) {
    lastReportedLoadProblem().clear();
    publishCount(state, metadataPath, 0);
    return true;
  }
  if (state.records && state.recordsGeneration == state.generation) {
    StoredText shared{*state.recordsText, state.recordsSize, state.recordsModified,
                      state.generation};
    if (fileStillHolds(shared)) {
      entries = *state.records;
      storedText = std::move(shared);
      stamp = state.recordsStamp;
      return true;
    }
  }
  std::vector<QuarantineEntry> loaded;
  std::string loadedText;
  try {
    platform::JsonFileStore::Reading reading = metadataFile(metadataPath).read();
    loaded = recordsOf(reading);
    loadedText = std::move(reading.text);
  } catch (const std::exception& error) {
    reportLoadFailure(error.what());
    publishCount(state, metadataPath, 0);
    return false;
  }
  entries = std::move(loaded);
  rememberStoredText(std::move(loadedText));
  lastReportedLoadProblem().clear();
  publishCount(state, metadataPath, entries.size());
  shareRecords();
  return true;
}

bool QuarantineManager::saveLocked() {
  if (!loadSucceeded) return false;
  platform::JsonFileStore file = metadataFile(metadataPath);
  std::string text;
  try {
    json list = json::array();
    for (const QuarantineEntry& entry : entries) list.push_back(entryToJson(entry));
    std::optional<std::string> serialised =
        file.serialise(json{{"entries", std::move(list)}, {"version", "1.0"}});
    if (!serialised) return false;
    text = std::move(*serialised);
  } catch (const std::exception&) {
    return false;
  }
  StoreState& state = stateOf(quarantineDir);
  if (storedText && storedText->text == text && storedText->generation == state.generation &&
      fileStillHolds(*storedText)) {
    return true;
  }
  if (!file.save(text)) return false;
  ++state.generation;
  rememberStoredText(std::move(text));
  publishCount(state, metadataPath, entries.size());
  // Memory holds dates finer than the file keeps; the next reader parses the file once more.
  state.records.reset();
  stamp = 0;
  return true;
}

void QuarantineManager::shareRecords() {
  StoreState& state = stateOf(quarantineDir);
  if (!storedText) {
    state.records.reset();
    return;
  }
  state.records = std::make_shared<const std::vector<QuarantineEntry>>(entries);
  state.recordsText = std::make_shared<const std::string>(storedText->text);
  state.recordsSize = storedText->size;
  state.recordsModified = storedText->modified;
  state.recordsGeneration = storedText->generation;
  static std::uint64_t lastStamp = 0;
  stamp = ++lastStamp;
  state.recordsStamp = stamp;
}

void QuarantineManager::rememberStoredText(std::string text) {
  std::error_code error;
  StoredText stored{
      std::move(text), fs::file_size(metadataPath, error), {}, stateOf(quarantineDir).generation};
  if (!error) stored.modified = fs::last_write_time(metadataPath, error);
  if (error) {
    storedText.reset();
    return;
  }
  storedText = std::move(stored);
}

// Nothing has replaced or changed the file since this instance read or wrote it.
bool QuarantineManager::fileStillHolds(const StoredText& stored) const {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(metadataPath, error);
  if (error || size != stored.size) return false;
  const fs::file_time_type modified = fs::last_write_time(metadataPath, error);
  return !error && modified == stored.modified;
}

std::string QuarantineManager::calculateSHA256(const std::string& filePath) {
  platform::FileHandle file =
      platform::FileHandle::openForReading(filePath).value_or(platform::FileHandle());
  if (!file.isOpen()) return {};
  return hashOf(file);
}

bool QuarantineManager::encryptFile(const std::string& sourcePath, const std::string& destPath,
                                    const std::string& key) {
  if (key.empty()) return false;
  platform::FileHandle source =
      platform::FileHandle::openForReading(sourcePath).value_or(platform::FileHandle());
  if (!source.isOpen()) return false;
  const platform::Result<platform::FileStatus> status = source.status();
  if (!status) return false;
  return writeCodedCopy(source, status->size, destPath, key, nullptr);
}

const QuarantineEntry* QuarantineManager::findEntry(const std::string& id) const {
  auto found = std::find_if(entries.begin(), entries.end(),
                            [&](const QuarantineEntry& entry) { return entry.id == id; });
  return found == entries.end() ? nullptr : &*found;
}

void QuarantineManager::reportLoadFailure(const std::string& problemText) {
  entries.clear();
  loadSucceeded = false;
  loadProblem = problemText;
  // The file is kept as it is; say so once, not on every instance that finds it unchanged.
  std::string key = metadataPath + "\n" + problemText;
  if (lastReportedLoadProblem() != key) {
    lastReportedLoadProblem() = key;
    EventLogger::instance().error("Cuarentena: " + metadataPath +
                                  " no se pudo leer y se conserva sin cambios: " + problemText);
  }
}

}  // namespace norvid
