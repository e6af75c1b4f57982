#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "reports/ReportListing.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

class ReportListingTest : public ::testing::Test {
 protected:
  // Writes a report file whose last write time is `age` seconds before a fixed instant.
  std::string report(const std::string& name, int age) {
    std::string path = dir_.write(name, "{}");
    fs::last_write_time(path, base_ - std::chrono::seconds(age));
    return path;
  }

  TempDir dir_;
  fs::file_time_type base_ = fs::file_time_type::clock::now();
};

TEST_F(ReportListingTest, MissingDirectoryIsEmpty) {
  EXPECT_TRUE(listReports((dir_.path() / "none").string(), 50).empty());
  EXPECT_EQ(countReports((dir_.path() / "none").string()), 0);
}

TEST_F(ReportListingTest, NewestFirstAndTiesByNameDescending) {
  std::string middle = report("scan-2-1000.json", 20);
  std::string newest = report("scan-3-1000.json", 5);
  std::string oldest = report("scan-9-1000.json", 300);
  std::string tieLow = report("scan-4-1000.json", 10);
  std::string tieHigh = report("scan-5-1000.json", 10);

  EXPECT_EQ(listReports(dir_.str(), 50),
            (std::vector<std::string>{newest, tieHigh, tieLow, middle, oldest}));
}

TEST_F(ReportListingTest, OnlyJsonFilesDirectlyInTheDirectory) {
  std::string listed = report("scan-1.json", 1);
  std::string linkTarget = dir_.write("elsewhere/target.txt", "{}");
  fs::create_symlink(linkTarget, dir_.path() / "linked.json");
  fs::create_symlink(dir_.path() / "gone", dir_.path() / "dangling.json");
  report("scan-1.JSON", 0);
  report("scan-1.html", 0);
  report("scan-1.json.tmp-abc123", 0);
  report("sub/scan-2.json", 0);
  fs::create_directory(dir_.path() / "x.json");

  std::vector<std::string> paths = listReports(dir_.str(), 50);
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{(dir_.path() / "linked.json").string(), listed}));
  EXPECT_EQ(countReports(dir_.str()), 2);
}

TEST_F(ReportListingTest, MaxCountKeepsTheNewest) {
  std::vector<std::string> byAge;
  for (int i = 0; i < 5; ++i) byAge.push_back(report("r" + std::to_string(i) + ".json", i * 10));

  struct Case {
    std::int32_t maxCount;
    std::size_t expected;
  };
  for (const Case& c : std::vector<Case>{{0, 0}, {1, 1}, {3, 3}, {5, 5}, {50, 5}}) {
    std::vector<std::string> paths = listReports(dir_.str(), c.maxCount);
    EXPECT_EQ(paths, std::vector<std::string>(byAge.begin(), byAge.begin() + c.expected))
        << c.maxCount;
  }
}

TEST_F(ReportListingTest, NegativeMaxCountIsRejected) {
  report("r.json", 0);
  EXPECT_THROW(listReports(dir_.str(), -1), std::invalid_argument);
}

TEST_F(ReportListingTest, PathThatIsAFileIsAnError) {
  std::string file = dir_.write("plain", "x");
  EXPECT_THROW(listReports(file, 50), fs::filesystem_error);
}

}  // namespace
}  // namespace norvid
