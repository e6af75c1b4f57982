#include "update/HashListChecker.hpp"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace norvid::update {
namespace {

bool allOf(const std::string& text, int (*test)(int)) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [&](unsigned char c) { return test(c) != 0; });
}

}  // namespace

bool HashListChecker::isEntry(const std::string& line) {
  const auto colon = line.find(':');
  const std::string hash = line.substr(0, colon);
  if ((hash.size() != 32 && hash.size() != 40 && hash.size() != 64) ||
      !allOf(hash, std::isxdigit)) {
    return false;
  }
  if (colon == std::string::npos) return true;
  const auto second = line.find(':', colon + 1);
  if (second == std::string::npos) return false;
  const std::string size = line.substr(colon + 1, second - colon - 1);
  return (size == "*" || allOf(size, std::isdigit)) && second + 1 < line.size();
}

HashListChecker::Count HashListChecker::check(const std::string& path) {
  Count count;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (isEntry(line)) {
      ++count.hashes;
    } else if (count.badLines++ == 0) {
      count.firstBadLine = "line " + std::to_string(number) + ": not a hash entry";
    }
  }
  return count;
}

}  // namespace norvid::update
