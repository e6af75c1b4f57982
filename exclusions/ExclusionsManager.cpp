#include "exclusions/ExclusionsManager.hpp"

#include <filesystem>
#include <nlohmann/json.hpp>

#include "exclusions/BoundedRegex.hpp"
#include "exclusions/CompiledExclusion.hpp"
#include "logging/EventLogger.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string toLower(std::string text) {
  for (char& c : text) c = asciiLower(c);
  return text;
}

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The extension of the path's file name in lower case, dot included; empty when the name has
// none ("name", ".hidden", "." and "..").
std::string lowerExtension(const std::string& filePath) {
  std::size_t separator = filePath.find_last_of("/\\");
  std::string_view name(filePath);
  if (separator != std::string::npos) name.remove_prefix(separator + 1);
  if (name == "." || name == "..") return {};
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return toLower(std::string(name.substr(dot)));
}

// Resolves "." and ".." and repeated separators in a '/'-separated path without touching the
// file system, like std::filesystem's lexical normalisation (a trailing separator is kept; ".."
// above the root is dropped) at a fraction of its cost, which matters because every scanned file
// is normalised.
std::string resolveDotsLexically(std::string_view path) {
  const bool absolute = !path.empty() && path.front() == '/';
  std::vector<std::string_view> parts;
  bool trailingSeparator = false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    trailingSeparator = false;
    if (part == ".") {
      trailingSeparator = true;
    } else if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
        trailingSeparator = true;
      } else if (!absolute) {
        parts.push_back(part);
      } else {
        trailingSeparator = true;
      }
    } else {
      parts.push_back(part);
    }
  }
  if (path.back() == '/' && !parts.empty()) trailingSeparator = true;
  std::string resolved = absolute ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) resolved += '/';
    resolved += parts[i];
  }
  if (trailingSeparator && !parts.empty() && parts.back() != "..") resolved += '/';
  if (resolved.empty()) resolved = ".";
  return resolved;
}

// Throws the JSON library's error when a text cannot be written into exclusions.json.
void checkSerialisable(const std::string& text) {
  json(text).dump(-1, ' ', false, json::error_handler_t::strict);
}

}  // namespace

ExclusionsManager::ExclusionsManager(const std::string& configPath)
    : configPath_(configPath),
      file_(configPath_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                             fs::perms::others_read),
      matchers_(std::make_shared<const MatcherList>()),
      protectedPaths_{"C:\\Windows\\System32",
                      "C:\\Windows\\SysWOW64",
                      "C:\\Windows\\WinSxS",
                      "C:\\Program Files\\Windows Defender",
                      "C:\\ProgramData\\Microsoft\\Windows Defender",
                      "/bin",
                      "/sbin",
                      "/lib",
                      "/lib64",
                      "/usr/bin",
                      "/usr/sbin",
                      "/usr/lib",
                      "/boot",
                      "/etc"} {
  for (const std::string& directory : protectedPaths_) {
    normalizedProtected_.push_back(normalizePath(directory));
  }
}

ExclusionsManager::~ExclusionsManager() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (loadAttempted_ || changed_) {
    try {
      saveLocked();
    } catch (...) {
      // A destructor must not throw; the rules were saved by the last change already.
    }
  }
}

bool ExclusionsManager::initialize() {
  try {
    fs::path parent = fs::path(configPath_).parent_path();
    if (!parent.empty()) fs::create_directories(parent);
  } catch (const std::exception&) {
    return false;
  }
  // A write cut short by a crash leaves its temporary file; nothing else is writing it yet.
  file_.removeWriteLeftovers();
  return loadExclusions();
}

bool ExclusionsManager::addExclusion(const std::string& path, const std::string& description,
                                     std::string* reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  // An empty path would become a rule that excludes every file.
  if (path.empty() || isProtectedPath(path)) return false;
  ExclusionEntry entry{ExclusionType::Path, normalizePath(path), description};
  if (entry.value.empty()) return false;
  for (const ExclusionEntry& existing : exclusions_) {
    if (existing.type == ExclusionType::Path && existing.value == entry.value) return false;
  }
  if (exclusions_.size() >= kMaxExclusions) {
    if (reason != nullptr) {
      *reason = "la lista ya tiene el máximo de " + std::to_string(kMaxExclusions) + " exclusiones";
    }
    return false;
  }
  // A rule the file cannot hold would make every later save fail.
  try {
    checkSerialisable(entry.value);
    checkSerialisable(entry.description);
  } catch (const json::exception&) {
    return false;
  }
  auto matchers = std::make_shared<MatcherList>(*matchers_);
  matchers->emplace_back(entry);
  exclusions_.push_back(std::move(entry));
  if (!saveLocked()) {
    // The file keeps the list it held, and so does memory.
    exclusions_.pop_back();
    if (reason != nullptr) *reason = "no se pudo guardar " + configPath_;
    return false;
  }
  matchers_ = std::move(matchers);
  ++generation_;
  changed_ = true;
  return true;
}

bool ExclusionsManager::removeExclusion(ExclusionType type, const std::string& value,
                                        std::string* reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string key = value;
  if (type == ExclusionType::Path) {
    key = normalizePath(value);
  } else if (type == ExclusionType::Extension || type == ExclusionType::Hash) {
    key = toLower(value);
  }
  for (std::size_t i = 0; i < exclusions_.size(); ++i) {
    if (exclusions_[i].type != type || exclusions_[i].value != key) continue;
    const auto position = static_cast<std::ptrdiff_t>(i);
    ExclusionEntry removed = exclusions_[i];
    exclusions_.erase(exclusions_.begin() + position);
    if (!saveLocked()) {
      exclusions_.insert(exclusions_.begin() + position, std::move(removed));
      if (reason != nullptr) *reason = "no se pudo guardar " + configPath_;
      return false;
    }
    auto matchers = std::make_shared<MatcherList>(*matchers_);
    matchers->erase(matchers->begin() + position);
    matchers_ = std::move(matchers);
    ++generation_;
    changed_ = true;
    return true;
  }
  return false;
}

bool ExclusionsManager::isExcluded(const std::string& filePath, const std::string& fileHash) const {
  std::shared_ptr<const MatcherList> matchers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    matchers = matchers_;
  }
  if (matchers->empty()) return false;
  const std::string normalized = normalizePath(filePath);
  const std::string extension = lowerExtension(filePath);
  const std::string hash = toLower(fileHash);
  for (const CompiledExclusion& matcher : *matchers) {
    if (matcher.matches(normalized, extension, hash)) return true;
  }
  return false;
}

std::vector<ExclusionEntry> ExclusionsManager::getExclusions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exclusions_;
}

std::size_t ExclusionsManager::getCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exclusions_.size();
}

bool ExclusionsManager::isProtectedPath(const std::string& path) const {
  const std::string normalized = normalizePath(path);
  for (const std::string& directory : normalizedProtected_) {
    if (normalized.starts_with(directory)) return true;
  }
  return false;
}

bool ExclusionsManager::loadExclusions() {
  std::lock_guard<std::mutex> lock(mutex_);
  return loadLocked();
}

bool ExclusionsManager::saveExclusions() {
  std::lock_guard<std::mutex> lock(mutex_);
  return saveLocked();
}

bool ExclusionsManager::loadLocked() {
  loadAttempted_ = true;
  platform::JsonFileStore::Reading reading = file_.read();
  if (reading.outcome == platform::JsonFileStore::Outcome::Missing) {
    file_.keepAsideOnNextSave(false);
    return true;
  }
  if (reading.outcome == platform::JsonFileStore::Outcome::Unreadable) {
    file_.keepAsideOnNextSave(true);
    return false;
  }
  const json& document = reading.document;

  exclusions_.clear();
  bool keepAside = false;
  bool complete = true;
  if (!document.is_object()) {
    // Not a list we understand, but it may hold rules: keep the file rather than overwrite it.
    keepAside = true;
  } else if (auto rules = document.find("exclusions"); rules != document.end()) {
    if (!rules->is_array()) {
      keepAside = true;
    } else {
      for (const json& rule : *rules) {
        auto type = rule.is_object() ? rule.find("type") : rule.end();
        auto value = rule.is_object() ? rule.find("value") : rule.end();
        auto description = rule.is_object() ? rule.find("description") : rule.end();
        std::optional<ExclusionType> kind;
        if (type != rule.end() && type->is_string()) {
          kind = exclusionTypeFromWord(type->get<std::string>());
        }
        if (!kind || value == rule.end() || !value->is_string() ||
            (description != rule.end() && !description->is_string())) {
          complete = false;
          break;
        }
        exclusions_.push_back(ExclusionEntry{
            *kind, value->get<std::string>(),
            description != rule.end() ? description->get<std::string>() : std::string()});
      }
    }
  }
  file_.keepAsideOnNextSave(keepAside || !complete);

  auto matchers = std::make_shared<MatcherList>();
  matchers->reserve(exclusions_.size());
  for (const ExclusionEntry& entry : exclusions_) matchers->emplace_back(entry);
  matchers_ = std::move(matchers);
  ++generation_;
  return complete;
}

bool ExclusionsManager::saveLocked() {
  json rules = json::array();
  for (const ExclusionEntry& entry : exclusions_) {
    rules.push_back({{"type", exclusionTypeWord(entry.type)},
                     {"value", entry.value},
                     {"description", entry.description}});
  }
  json document{{"version", "1.0"}, {"exclusions", std::move(rules)}};
  std::string movedTo;
  const bool saved = file_.save(document, nullptr, &movedTo);
  if (!movedTo.empty()) {
    EventLogger::instance().warning("Archivo de exclusiones ilegible conservado como " + movedTo);
  }
  return saved;
}

std::string ExclusionsManager::normalizePath(const std::string& path) {
  if (path.empty()) return path;
  try {
    std::string slashed = path;
    for (char& c : slashed) {
      if (c == '\\') c = '/';
    }
    std::string drive;
    if (slashed.size() >= 2 && isAsciiLetter(slashed[0]) && slashed[1] == ':') {
      drive = slashed.substr(0, 2);
      slashed.erase(0, 2);
    } else if (slashed[0] != '/') {
      slashed = fs::current_path().string() + "/" + slashed;
    }
    std::string resolved = slashed.empty() ? slashed : resolveDotsLexically(slashed);
    std::string normalized = toLower(drive + resolved);
    for (char& c : normalized) {
      if (c == '/') c = '\\';
    }
    return normalized;
  } catch (const std::exception&) {
    return path;
  }
}

std::string ExclusionsManager::wildcardToRegex(const std::string& pattern) {
  std::string regex;
  regex.reserve(pattern.size() * 2);
  for (char c : pattern) {
    switch (c) {
      case '*':
        regex += ".*";
        break;
      case '?':
        regex += '.';
        break;
      case '$':
      case '(':
      case ')':
      case '+':
      case '.':
      case '[':
      case '\\':
      case ']':
      case '^':
      case '{':
      case '|':
      case '}':
        regex += '\\';
        regex += c;
        break;
      default:
        regex += c;
        break;
    }
  }
  return regex;
}

bool ExclusionsManager::matchesPattern(const std::string& normalizedPath,
                                       const std::string& pattern) {
  std::optional<BoundedRegex> regex = BoundedRegex::compile(wildcardToRegex(pattern));
  return regex && regex->fullMatch(normalizedPath);
}

}  // namespace norvid
