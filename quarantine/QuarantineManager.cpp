#include "quarantine/QuarantineManager.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "logging/EventLogger.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/FileAccess.hpp"
#include "platform/FileHandle.hpp"
#include "platform/FsCredentialsGuard.hpp"
#include "platform/Paths.hpp"
#include "platform/PinnedFile.hpp"
#include "platform/RandomId.hpp"
#include "platform/Sha256.hpp"

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

const fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

std::mutex& storeMutex() {
  static std::mutex mutex;
  return mutex;
}

thread_local bool threadHoldsStore = false;

// The last load problem written to the event log, so that a file that stays corrupt is reported
// once and not by every instance that trips over it. Guarded by the store lock.
std::string& lastReportedLoadProblem() {
  static std::string problem;
  return problem;
}

std::unique_lock<std::mutex> acquireStoreLock() {
  if (threadHoldsStore) {
    throw std::logic_error("QuarantineManager: este hilo ya tiene abierta la cuarentena");
  }
  std::unique_lock<std::mutex> lock(storeMutex());
  threadHoldsStore = true;
  return lock;
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
    long long got = source.readAt(offset, block.data(), block.size(), error);
    if (got < 0) return std::nullopt;
    if (got == 0) return offset;
    const char* slice = keyStream.data() + offset % key.size();
    for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) block[i] ^= slice[i];
    if (!dest.writeAll(block.data(), static_cast<std::size_t>(got), error)) return std::nullopt;
    offset += static_cast<std::uint64_t>(got);
  }
}

std::string hashOf(const platform::FileHandle& file) {
  platform::Sha256 hash;
  std::vector<char> block(kBlockSize);
  std::uint64_t offset = 0;
  while (hash.ok()) {
    long long got = file.readAt(offset, block.data(), block.size());
    if (got < 0) return {};
    if (got == 0) break;
    hash.update(block.data(), static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
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
  platform::FileHandle dest = platform::FileHandle::createExclusively(
      temporary, kOwnerOnly, platform::DirectoryLinks::Follow, error);
  if (!dest.isOpen()) return false;
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
  if (!dest.syncToDisk(error) || !dest.close(error)) return abandon();
  std::error_code code;
  fs::rename(temporary, destPath, code);
  if (code) {
    if (error != nullptr) *error = code.message();
    return abandon();
  }
  return true;
}

std::string joinPath(const std::string& directory, const std::string& name) {
  if (!directory.empty() && directory.back() == '/') return directory + name;
  return directory + "/" + name;
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
    : storeLock(acquireStoreLock()), clock(clock) {
  try {
    quarantineDir = basePath.empty() ? platform::dataDirectory() + "/Quarantine" : basePath;
    while (quarantineDir.size() > 1 && quarantineDir.back() == '/') quarantineDir.pop_back();
    metadataPath = joinPath(quarantineDir, "metadata.json");
    platform::createPrivateDirectory(quarantineDir);
    loadMetadata();
  } catch (const std::exception& error) {
    entries.clear();
    loadSucceeded = false;
    loadProblem = error.what();
  }
}

QuarantineManager::~QuarantineManager() {
  try {
    saveMetadata();
  } catch (...) {
  }
  threadHoldsStore = false;
}

std::string QuarantineManager::quarantineFile(const std::string& filePath,
                                              const std::string& threatName,
                                              const std::string& scanEngine,
                                              const CallerIdentity& caller) {
  progress("Iniciando cuarentena: " + filePath);
  bool recorded = false;
  std::string qtnPath;
  // Undoes a half-done quarantine: the record goes, the coded copy goes, the file stays.
  auto rollBack = [&]() {
    if (recorded) {
      entries.pop_back();
      saveMetadata();
      recorded = false;
    }
    if (!qtnPath.empty()) {
      std::error_code ignored;
      fs::remove(qtnPath, ignored);
    }
    return std::string();
  };
  try {
    if (!loadSucceeded) {
      problem("ERROR: metadata.json no se pudo leer: " + loadProblem);
      return {};
    }
    // The original is looked at, opened and later removed with the caller's own file-system
    // identity, so the kernel decides (permissions, ACLs, unreachable parents, sticky
    // directories) exactly as it would for the caller itself; the store is written as the service.
    std::error_code code;
    std::optional<platform::PinnedFile> file;
    {
      platform::FsCredentialsGuard asCaller(caller);
      fs::file_status status = fs::symlink_status(filePath, code);
      if (!fs::exists(status)) {
        problem("ERROR: Archivo no existe: " + filePath);
        return {};
      }
      if (!fs::is_regular_file(status)) {
        problem("ERROR: No es un archivo regular: " + filePath);
        return {};
      }
      // All further steps go through this handle, so they act on the file that was checked even
      // if the path is switched to something else meanwhile.
      std::string error;
      file = platform::PinnedFile::open(filePath, &error);
      if (!file) {
        problem("EXCEPTION: " + error);
        return {};
      }
      if (!file->mayRemove(&error)) {
        refuseForCaller(caller, filePath, error);
        return {};
      }
    }
    if (!fs::is_directory(quarantineDir, code)) {
      progress("Creando directorio: " + quarantineDir);
      std::string error;
      if (!platform::createPrivateDirectory(quarantineDir, &error)) {
        problem("ERROR al crear directorio: " + error);
        return {};
      }
    }
    std::string error;

    QuarantineEntry entry;
    entry.id = platform::generateRandomId();
    entry.original_path = file->resolvedPath();
    entry.threat_name = threatName;
    entry.scan_engine = scanEngine;
    entry.quarantine_date = clock.now();

    std::optional<platform::FileStatus> fileStatus = file->content().status(&error);
    if (!fileStatus) {
      problem("ERROR al obtener tamaño: " + error);
      return {};
    }
    entry.file_size = fileStatus->size;
    progress("Tamaño archivo: " + std::to_string(entry.file_size) + " bytes");

    progress("Calculando SHA256...");
    entry.file_hash = hashOf(file->content());
    if (entry.file_hash.empty()) {
      problem("WARNING: No se pudo calcular hash");
      entry.file_hash = "unknown";
    }

    entry.quarantine_path = joinPath(quarantineDir, entry.id + ".qtn");
    progress("Ruta cuarentena: " + entry.quarantine_path);

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
    entries.push_back(entry);
    recorded = true;
    if (!saveMetadata()) {
      problem("ERROR: No se pudo guardar metadata.json");
      return rollBack();
    }

    progress("Eliminando archivo original...");
    bool removed = false;
    {
      platform::FsCredentialsGuard asCaller(caller);
      removed = file->removeIfUnchanged(&error);
    }
    if (!removed) {
      if (caller.isPrivileged()) {
        problem("ERROR al eliminar original: " + error);
      } else {
        refuseForCaller(caller, filePath, error);
      }
      return rollBack();
    }
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
    const QuarantineEntry* entry = findEntry(id);
    if (entry == nullptr) return false;
    const std::string target = restorePath.empty() ? entry->original_path : restorePath;

    platform::FileHandle source = platform::FileHandle::openForReading(entry->quarantine_path);
    if (!source.isOpen()) return false;
    std::optional<platform::FileStatus> sourceStatus = source.status();
    if (!sourceStatus) return false;

    // Take the first free name, creating it in the same step, so nothing is ever overwritten.
    // The directory must be reached without symbolic links: the file goes back exactly where the
    // record says, never where a link planted since then points.
    const std::string stamp =
        ".restored_" + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                          clock.now().time_since_epoch())
                                          .count());
    std::string restored;
    platform::FileHandle dest;
    for (int attempt = 0; attempt <= kMaxRestoreNames && !dest.isOpen(); ++attempt) {
      restored = attempt == 0   ? target
                 : attempt == 1 ? target + stamp
                                : target + stamp + "_" + std::to_string(attempt - 1);
      bool taken = false;
      dest = platform::FileHandle::createExclusively(
          restored, kOwnerOnly, platform::DirectoryLinks::Refuse, nullptr, &taken);
      if (!dest.isOpen() && !taken) return false;
    }
    if (!dest.isOpen()) return false;

    std::optional<std::uint64_t> written = codeInto(source, dest, kQuarantineKey, nullptr);
    bool complete = written && *written == sourceStatus->size;
    if (complete) {
      dest.changeOwner(sourceStatus->uid, sourceStatus->gid);
      complete = dest.syncToDisk() && dest.close();
    }
    if (!complete) {
      dest.close();
      std::error_code ignored;
      fs::remove(restored, ignored);
      return false;
    }

    return dropEntry(*entry, "restaurado");
  } catch (const std::exception&) {
    return false;
  }
}

bool QuarantineManager::dropEntry(const QuarantineEntry& entry, const char* outcome) {
  const std::string id = entry.id;
  std::error_code code;
  fs::remove(entry.quarantine_path, code);
  if (code) return false;
  eraseEntry(id);
  if (!saveMetadata()) {
    EventLogger::instance().error("Cuarentena: archivo " + id + " " + outcome +
                                  ", pero metadata.json no se pudo guardar");
  }
  return true;
}

bool QuarantineManager::deleteFile(const std::string& id) {
  try {
    if (!loadSucceeded) return false;
    const QuarantineEntry* entry = findEntry(id);
    if (entry == nullptr) return false;
    return dropEntry(*entry, "eliminado");
  } catch (const std::exception&) {
    return false;
  }
}

std::vector<QuarantineEntry> QuarantineManager::getEntries() const { return entries; }

std::size_t QuarantineManager::getCount() const { return entries.size(); }

bool QuarantineManager::loadMetadata() {
  entries.clear();
  storedText.reset();
  loadSucceeded = true;
  loadProblem.clear();
  std::error_code code;
  if (!fs::exists(fs::symlink_status(metadataPath, code))) {
    lastReportedLoadProblem().clear();
    return true;
  }
  std::vector<QuarantineEntry> loaded;
  std::string loadedText;
  try {
    std::ifstream in(metadataPath, std::ios::binary);
    if (!in.is_open()) throw std::runtime_error("no se pudo abrir el archivo");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw std::runtime_error("no se pudo leer el archivo");
    loadedText = text.str();
    json document = json::parse(loadedText, nullptr, true, false);
    if (!document.is_object()) throw std::runtime_error("el documento no es un objeto");
    auto list = document.find("entries");
    if (list != document.end() && !list->is_null()) {
      if (!list->is_array()) throw std::runtime_error("\"entries\" no es una lista");
      for (std::size_t index = 0; index < list->size(); ++index) {
        try {
          loaded.push_back(entryFromJson((*list)[index]));
        } catch (const std::exception& error) {
          throw std::runtime_error("registro " + std::to_string(index) + ": " + error.what());
        }
      }
    }
  } catch (const std::exception& error) {
    reportLoadFailure(error.what());
    return false;
  }
  entries = std::move(loaded);
  rememberStoredText(std::move(loadedText));
  lastReportedLoadProblem().clear();
  return true;
}

bool QuarantineManager::saveMetadata() {
  if (!loadSucceeded) return false;
  std::string text;
  try {
    json list = json::array();
    for (const QuarantineEntry& entry : entries) list.push_back(entryToJson(entry));
    json document{{"entries", std::move(list)}, {"version", "1.0"}};
    text = document.dump(2, ' ', false, json::error_handler_t::strict);
  } catch (const std::exception&) {
    return false;
  }
  if (storedText && storedText->text == text && fileStillHolds(*storedText)) return true;
  if (!platform::writeFileAtomically(metadataPath, text, kOwnerOnly)) return false;
  rememberStoredText(std::move(text));
  return true;
}

void QuarantineManager::rememberStoredText(std::string text) {
  std::error_code error;
  StoredText stored{std::move(text), fs::file_size(metadataPath, error), {}};
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
  platform::FileHandle file = platform::FileHandle::openForReading(filePath);
  if (!file.isOpen()) return {};
  return hashOf(file);
}

bool QuarantineManager::encryptFile(const std::string& sourcePath, const std::string& destPath,
                                    const std::string& key) {
  if (key.empty()) return false;
  platform::FileHandle source = platform::FileHandle::openForReading(sourcePath);
  if (!source.isOpen()) return false;
  std::optional<platform::FileStatus> status = source.status();
  if (!status) return false;
  return writeCodedCopy(source, status->size, destPath, key, nullptr);
}

const QuarantineEntry* QuarantineManager::findEntry(const std::string& id) const {
  auto found = std::find_if(entries.begin(), entries.end(),
                            [&](const QuarantineEntry& entry) { return entry.id == id; });
  return found == entries.end() ? nullptr : &*found;
}

void QuarantineManager::eraseEntry(const std::string& id) {
  auto found = std::find_if(entries.begin(), entries.end(),
                            [&](const QuarantineEntry& entry) { return entry.id == id; });
  if (found != entries.end()) entries.erase(found);
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
