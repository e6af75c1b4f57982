#include "engine/AllowList.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/Text.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A rule's or hash signature's name: printable, without blanks.
bool isName(const std::string& text) {
  return !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
    return isBlank(c) || static_cast<unsigned char>(c) < 0x21 || c == 0x7F;
  });
}

bool isSha256(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

std::string lowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

bool AllowList::addLine(const std::string& line) {
  const std::size_t blank = line.find_first_of(" \t");
  if (blank == std::string::npos) return false;
  const std::string keyword = line.substr(0, blank);
  const std::string value = platform::trimBlanks(line.substr(blank));
  if (keyword == "rule" && isName(value)) {
    rules_.insert(value);
    return true;
  }
  if (keyword == "sha256" && isSha256(value)) {
    digests_.insert(lowerCase(value));
    return true;
  }
  return false;
}

std::vector<AllowList::Problem> AllowList::load(const std::string& directory) {
  std::vector<Problem> problems;
  std::vector<std::string> files;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    if (it->path().extension() == ".conf" && it->is_regular_file(error)) {
      files.push_back(it->path().string());
    }
  }
  std::sort(files.begin(), files.end());
  for (const std::string& file : files) {
    std::ifstream in(file);
    if (!in) {
      problems.push_back({file, 0, "cannot be read"});
      continue;
    }
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
      ++number;
      const std::string text = platform::trimBlanks(line);
      if (text.empty() || text[0] == '#') continue;
      if (!addLine(text)) problems.push_back({file, number, text});
    }
  }
  return problems;
}

}  // namespace norvid
