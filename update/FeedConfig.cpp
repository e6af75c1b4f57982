#include "update/FeedConfig.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Paths.hpp"
#include "platform/Text.hpp"
#include "update/MinisignVerifier.hpp"

namespace norvid::update {
namespace {

namespace fs = std::filesystem;
using platform::Failure;
using platform::Result;

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool isHex(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

Result<bool> parseYesNo(const std::string& value, const std::string& where) {
  if (value == "yes") return true;
  if (value == "no") return false;
  return Failure{0, where + "expected yes or no, got \"" + value + "\""};
}

// Checks the bundle and signature locations once every key is known, since `insecure` may come
// after `url`.
Result<> checkLocation(const std::string& url, bool insecure, const std::string& where) {
  if (startsWith(url, "https://") || startsWith(url, "file:///")) return {};
  if (startsWith(url, "http://")) {
    if (insecure) return {};
    return Failure{0, where + "plain http:// needs insecure = yes: " + url};
  }
  return Failure{0, where + "unsupported location (https://, file:/// or http://): " + url};
}

}  // namespace

const char* kindName(FeedKind kind) { return kind == FeedKind::Yara ? "yara" : "hashes"; }

std::string FeedConfig::signatureLocation() const {
  return signatureUrl.empty() ? url + ".minisig" : signatureUrl;
}

bool FeedConfig::isValidName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  auto plain = [](unsigned char c) { return std::islower(c) || std::isdigit(c); };
  if (!plain(static_cast<unsigned char>(name[0]))) return false;
  return std::all_of(name.begin(), name.end(),
                     [&](unsigned char c) { return plain(c) || c == '.' || c == '_' || c == '-'; });
}

Result<FeedConfig> FeedConfig::parse(const std::string& name, const std::string& text,
                                     const std::string& source) {
  if (!isValidName(name)) {
    return Failure{0, source + ": feed name \"" + name +
                          "\" must match [a-z0-9][a-z0-9._-]* (at most 64 characters)"};
  }
  FeedConfig config;
  config.name = name;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  std::vector<std::string> seen;
  while (std::getline(lines, line)) {
    ++number;
    const std::string where = source + ":" + std::to_string(number) + ": ";
    const auto hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    line = platform::trimBlanks(line);
    if (line.empty()) continue;
    const auto equals = line.find('=');
    if (equals == std::string::npos) return Failure{0, where + "expected key = value"};
    const std::string key = platform::trimBlanks(line.substr(0, equals));
    const std::string value = platform::trimBlanks(line.substr(equals + 1));
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
      return Failure{0, where + "key \"" + key + "\" given twice"};
    }
    seen.push_back(key);
    if (key == "url") {
      config.url = value;
    } else if (key == "signature_url") {
      config.signatureUrl = value;
    } else if (key == "kind") {
      if (value == "yara") {
        config.kind = FeedKind::Yara;
      } else if (value == "hashes") {
        config.kind = FeedKind::Hashes;
      } else {
        return Failure{0, where + "kind must be yara or hashes, got \"" + value + "\""};
      }
    } else if (key == "enabled" || key == "insecure") {
      auto flag = parseYesNo(value, where + key + ": ");
      if (!flag) return flag.failure();
      (key == "enabled" ? config.enabled : config.insecure) = *flag;
    } else if (key == "minisign_key") {
      auto parsed = MinisignVerifier::parsePublicKey(value);
      if (!parsed) return Failure{0, where + "minisign_key: " + parsed.message()};
      config.minisignKey = value;
    } else if (key == "sha256") {
      if (value.size() != 64 || !isHex(value)) {
        return Failure{0, where + "sha256 must be 64 hexadecimal digits"};
      }
      config.sha256 = lower(value);
    } else if (key == "ca_file") {
      if (value.empty() || value[0] != '/') {
        return Failure{0, where + "ca_file must be an absolute path"};
      }
      config.caFile = value;
    } else if (key == "max_size") {
      const bool digits = !value.empty() && value.size() <= 19 &&
                          std::all_of(value.begin(), value.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
      if (!digits || std::stoull(value) == 0) {
        return Failure{0, where + "max_size must be a positive number of bytes"};
      }
      config.maxSize = std::stoull(value);
    } else {
      return Failure{0, where + "unknown key \"" + key + "\""};
    }
  }
  const std::string where = source + ": ";
  if (config.url.empty()) return Failure{0, where + "url is missing"};
  if (auto checked = checkLocation(config.url, config.insecure, where); !checked) {
    return checked.failure();
  }
  if (!config.signatureUrl.empty()) {
    if (auto checked = checkLocation(config.signatureUrl, config.insecure, where); !checked) {
      return checked.failure();
    }
  }
  return config;
}

Result<std::vector<FeedConfig>> FeedConfig::readDirectory(const std::string& directory) {
  std::vector<FeedConfig> feeds;
  std::error_code error;
  if (!fs::exists(directory, error)) {
    if (error) return Failure{error.value(), directory + ": " + error.message()};
    return feeds;
  }
  std::vector<fs::path> files;
  try {
    for (const auto& entry : fs::directory_iterator(directory)) {
      if (entry.path().extension() == ".conf") files.push_back(entry.path());
    }
  } catch (const fs::filesystem_error& failure) {
    return Failure{failure.code().value(), directory + ": " + failure.code().message()};
  }
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return Failure{0, file.string() + ": cannot be read"};
    std::ostringstream text;
    text << in.rdbuf();
    auto config = parse(file.stem().string(), text.str(), file.string());
    if (!config) return config.failure();
    feeds.push_back(std::move(*config));
  }
  return feeds;
}

std::string FeedConfig::defaultDirectory() {
  return platform::environmentOr("NORVID_FEEDS_DIR", "/etc/norvid/feeds.d");
}

}  // namespace norvid::update
