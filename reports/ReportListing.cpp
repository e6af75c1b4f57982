#include "reports/ReportListing.hpp"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace norvid {
namespace {

bool isReport(const std::filesystem::directory_entry& entry) {
  return entry.is_regular_file() && entry.path().extension() == ".json";
}

}  // namespace

std::int64_t countReports(const std::string& reportsDir) {
  namespace fs = std::filesystem;
  if (!fs::exists(reportsDir)) return 0;
  const fs::directory_iterator entries(reportsDir);
  return std::count_if(fs::begin(entries), fs::end(entries), isReport);
}

std::vector<std::string> listReports(const std::string& reportsDir, std::int32_t maxCount) {
  namespace fs = std::filesystem;
  if (maxCount < 0) {
    throw std::invalid_argument("max_count no puede ser negativo: " + std::to_string(maxCount));
  }
  if (!fs::exists(reportsDir)) return {};

  // Each time is read once, before sorting, so a report rewritten meanwhile cannot make the
  // comparison inconsistent.
  std::vector<std::pair<fs::file_time_type, std::string>> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(reportsDir)) {
    if (!isReport(entry)) continue;
    found.emplace_back(fs::last_write_time(entry.path()), entry.path().string());
  }
  std::sort(found.begin(), found.end(), [](const auto& left, const auto& right) {
    if (left.first != right.first) return left.first > right.first;
    return left.second > right.second;
  });

  std::vector<std::string> paths;
  std::size_t keep = std::min(found.size(), static_cast<std::size_t>(maxCount));
  paths.reserve(keep);
  for (std::size_t i = 0; i < keep; ++i) paths.push_back(std::move(found[i].second));
  return paths;
}

}  // namespace norvid
