#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace norvid {

// Full paths of the JSON reports directly in `reportsDir` (regular files, links followed, whose
// extension is exactly ".json"), newest last write first, at most `maxCount` of them. Equal
// times are ordered by file name, descending, so the identifier with the later second comes
// first. A missing directory gives an empty list. Throws std::invalid_argument for a negative
// `maxCount` and std::filesystem::filesystem_error when the directory, the type or the last
// write time of an entry cannot be read.
std::vector<std::string> listReports(const std::string& reportsDir, std::int32_t maxCount);

// How many JSON reports (as listReports counts them) are directly in `reportsDir`; 0 for a
// missing directory. Throws std::filesystem::filesystem_error when the directory or the type of an
// entry cannot be read.
std::int64_t countReports(const std::string& reportsDir);

}  // namespace norvid
