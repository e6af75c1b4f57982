#include "update/FeedState.hpp"

#include <cstdint>
#include <type_traits>
#include <utility>

namespace norvid::update {
namespace {

nlohmann::json notesToJson(const std::vector<FileNote>& notes) {
  nlohmann::json array = nlohmann::json::array();
  for (const FileNote& note : notes)
    array.push_back({{"file", note.file}, {"message", note.message}});
  return array;
}

std::vector<FileNote> notesFromJson(const nlohmann::json& document, const char* key) {
  std::vector<FileNote> notes;
  auto found = document.find(key);
  if (found == document.end() || !found->is_array()) return notes;
  for (const auto& item : *found) {
    if (!item.is_object()) continue;
    notes.push_back({item.value("file", std::string()), item.value("message", std::string())});
  }
  return notes;
}

template <typename T>
void take(const nlohmann::json& document, const char* key, T& target) {
  auto found = document.find(key);
  if (found == document.end()) return;
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    // Only whole numbers the member's type can hold: converting a larger or fractional number
    // is undefined, and such a value is never written here.
    if (found->is_number_unsigned()) {
      const auto value = found->get<std::uint64_t>();
      if (std::in_range<T>(value)) target = static_cast<T>(value);
    } else if (found->is_number_integer()) {
      const auto value = found->get<std::int64_t>();
      if (std::in_range<T>(value)) target = static_cast<T>(value);
    }
    return;
  }
  try {
    target = found->get<T>();
  } catch (const nlohmann::json::exception&) {
    // A member of the wrong type keeps its default.
  }
}

}  // namespace

nlohmann::json FeedState::toJson() const {
  return {{"url", url},
          {"etag", etag},
          {"last_modified", lastModified},
          {"sha256", sha256},
          {"held_back", heldBack},
          {"version", version},
          {"installed_at", installedAt},
          {"rules", rules},
          {"hashes", hashes},
          {"set_aside", notesToJson(setAside)},
          {"warnings", notesToJson(warnings)},
          {"last_success", lastSuccess},
          {"last_attempt", lastAttempt},
          {"last_error", lastError}};
}

FeedState FeedState::fromJson(const nlohmann::json& document) {
  FeedState state;
  if (!document.is_object()) return state;
  take(document, "url", state.url);
  take(document, "etag", state.etag);
  take(document, "last_modified", state.lastModified);
  take(document, "sha256", state.sha256);
  take(document, "held_back", state.heldBack);
  take(document, "version", state.version);
  take(document, "installed_at", state.installedAt);
  take(document, "rules", state.rules);
  take(document, "hashes", state.hashes);
  take(document, "last_success", state.lastSuccess);
  take(document, "last_attempt", state.lastAttempt);
  take(document, "last_error", state.lastError);
  state.setAside = notesFromJson(document, "set_aside");
  state.warnings = notesFromJson(document, "warnings");
  return state;
}

}  // namespace norvid::update
