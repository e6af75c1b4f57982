#include "ipc/QuarantineCommands.hpp"

#include <chrono>
#include <exception>
#include <nlohmann/json.hpp>
#include <utility>

#include "ipc/JsonResponse.hpp"
#include "logging/ServiceEvents.hpp"
#include "platform/FileAccess.hpp"
#include "platform/LocalTime.hpp"
#include "quarantine/QuarantineManager.hpp"

namespace norvid {

using nlohmann::json;

namespace {

// The record of `id` as it stands before a restore or a delete changes it.
std::optional<QuarantineEntry> recordOf(const QuarantineManager& manager, const std::string& id) {
  for (QuarantineEntry& entry : manager.getEntries()) {
    if (entry.id == id) return std::move(entry);
  }
  return std::nullopt;
}

}  // namespace

QuarantineCommands::QuarantineCommands(std::string quarantineDir, const platform::Clock& clock)
    : quarantineDir_(std::move(quarantineDir)), clock_(clock) {}

std::string QuarantineCommands::handleListQuarantine() const {
  try {
    QuarantineManager manager(quarantineDir_, clock_);
    if (!manager.metadataLoaded()) {
      return createErrorResponse("Error listing quarantine: " + manager.loadError());
    }
    // A large store is listed over and over while nothing changes: reuse the last answer.
    const std::uint64_t stamp = manager.recordsStamp();
    {
      std::lock_guard<std::mutex> guard(listCache_->mutex);
      if (stamp != 0 && stamp == listCache_->stamp) return listCache_->answer;
    }
    json items = json::array();
    for (const QuarantineEntry& entry : manager.getEntries()) {
      items.push_back({
          {"id", entry.id},
          {"original_path", entry.original_path},
          {"threat_name", entry.threat_name},
          {"timestamp",
           platform::formatLocalTime(std::chrono::system_clock::to_time_t(entry.quarantine_date),
                                     "%d/%m/%Y %H:%M:%S")},
      });
    }
    json response{{"command", "list_quarantine"},
                  {"count", items.size()},
                  {"items", std::move(items)},
                  {"status", "ok"}};
    std::string answer = serializeResponse(response);
    std::lock_guard<std::mutex> guard(listCache_->mutex);
    listCache_->stamp = stamp;
    listCache_->answer = answer;
    return answer;
  } catch (const std::exception& error) {
    return createErrorResponse(std::string("Error listing quarantine: ") + error.what());
  }
}

std::string QuarantineCommands::handleDeleteQuarantine(const std::string& id,
                                                       const CallerIdentity& caller) const {
  try {
    QuarantineManager manager(quarantineDir_, clock_);
    // The stored copy keeps the owner of the original, which goes with it.
    const std::optional<QuarantineEntry> record = recordOf(manager, id);
    const auto owner = record ? platform::fileOwner(record->quarantine_path) : std::nullopt;
    if (!manager.deleteFile(id)) {
      return createErrorResponse("No se pudo eliminar el archivo. Verifica que el ID sea válido.");
    }
    if (record) {
      ServiceEvents::instance().fileDeleted(record->original_path, record->threat_name, id, owner,
                                            caller);
    }
    return serializeResponse({{"command", "delete_quarantine"},
                              {"message", "Archivo eliminado exitosamente de la cuarentena"},
                              {"status", "ok"}});
  } catch (const std::exception& error) {
    return createErrorResponse(std::string("Error al eliminar archivo de cuarentena: ") +
                               error.what());
  }
}

std::string QuarantineCommands::handleRestoreQuarantine(const std::string& id,
                                                        const CallerIdentity& caller) const {
  try {
    QuarantineManager manager(quarantineDir_, clock_);
    const std::optional<QuarantineEntry> record = recordOf(manager, id);
    if (!manager.restoreFile(id, "")) {
      return createErrorResponse("No se pudo restaurar el archivo. Verifica que el ID sea válido.");
    }
    if (record) {
      ServiceEvents::instance().fileRestored(record->original_path, record->threat_name, id,
                                             caller);
    }
    return serializeResponse({{"command", "restore_quarantine"},
                              {"message", "Archivo restaurado exitosamente desde la cuarentena"},
                              {"status", "ok"}});
  } catch (const std::exception& error) {
    return createErrorResponse(std::string("Error al restaurar archivo de cuarentena: ") +
                               error.what());
  }
}

std::string QuarantineCommands::handleQuarantineFile(const std::string& path,
                                                     const std::string& threatName,
                                                     const CallerIdentity& caller) const {
  try {
    QuarantineManager manager(quarantineDir_, clock_);
    const auto owner = platform::fileOwner(path);
    std::string id = manager.quarantineFile(path, threatName, "YARA", caller);
    if (id.empty()) {
      const std::string& reason = manager.failureReason();
      return createErrorResponse("No se pudo cuarentenar el archivo." +
                                 (reason.empty() ? std::string() : " " + reason));
    }
    ServiceEvents::instance().fileQuarantined("quarantine_file", path, threatName, id, owner,
                                              caller);
    return serializeResponse({{"command", "quarantine_file"},
                              {"file_id", id},
                              {"message", "Archivo movido a cuarentena exitosamente"},
                              {"status", "ok"}});
  } catch (const std::exception& error) {
    return createErrorResponse(std::string("Error al cuarentenar archivo: ") + error.what());
  }
}

}  // namespace norvid
