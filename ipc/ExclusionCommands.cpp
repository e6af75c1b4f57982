#include "ipc/ExclusionCommands.hpp"

#include <exception>
#include <nlohmann/json.hpp>

#include "exclusions/ExclusionsManager.hpp"
#include "ipc/JsonResponse.hpp"

namespace norvid {
namespace {

using nlohmann::json;

constexpr const char* kNoList = "Gestor de exclusiones no inicializado";

}  // namespace

// The responses are built inside the try and serialised outside it, so a JSON error raised while
// serialising reaches the dispatcher, which answers it as a JSON error.
std::string ExclusionCommands::handleAddExclusion(const std::string& path,
                                                  const std::string& description) {
  if (list_ == nullptr) return createErrorResponse(kNoList);
  json response;
  try {
    std::string reason;
    if (!list_->addExclusion(path, description, &reason)) {
      return createErrorResponse(
          "No se pudo agregar la exclusión (" +
          (reason.empty() ? std::string("puede ser ruta protegida o duplicada") : reason) + ")");
    }
    response = {{"command", "add_exclusion"},
                {"message", "Exclusión agregada exitosamente"},
                {"path", path},
                {"status", "ok"},
                {"total_exclusions", list_->getCount()}};
  } catch (const std::exception& e) {
    return createErrorResponse(std::string("Error al agregar exclusión: ") + e.what());
  }
  return serializeResponse(response);
}

std::string ExclusionCommands::handleRemoveExclusion(const std::string& path) {
  if (list_ == nullptr) return createErrorResponse(kNoList);
  json response;
  try {
    std::string reason;
    if (!list_->removeExclusion(ExclusionType::Path, path, &reason)) {
      return createErrorResponse("No se pudo eliminar la exclusión (" +
                                 (reason.empty() ? std::string("no existe") : reason) + ")");
    }
    response = {{"command", "remove_exclusion"},
                {"message", "Exclusión eliminada exitosamente"},
                {"path", path},
                {"status", "ok"},
                {"total_exclusions", list_->getCount()}};
  } catch (const std::exception& e) {
    return createErrorResponse(std::string("Error al eliminar exclusión: ") + e.what());
  }
  return serializeResponse(response);
}

std::string ExclusionCommands::handleListExclusions() {
  if (list_ == nullptr) return createErrorResponse(kNoList);
  json response;
  try {
    json rules = json::array();
    const std::vector<ExclusionEntry> entries = list_->getExclusions();
    for (const ExclusionEntry& entry : entries) {
      rules.push_back({{"description", entry.description},
                       {"type", exclusionTypeWord(entry.type)},
                       {"value", entry.value}});
    }
    response = {{"command", "list_exclusions"},
                {"count", entries.size()},
                {"exclusions", std::move(rules)},
                {"status", "ok"}};
  } catch (const std::exception& e) {
    return createErrorResponse(std::string("Error al listar exclusiones: ") + e.what());
  }
  return serializeResponse(response);
}

}  // namespace norvid
