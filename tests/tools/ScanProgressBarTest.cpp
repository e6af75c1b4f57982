#include <gtest/gtest.h>

#include <string>

#include "tools/ScanProgressBar.hpp"

namespace norvid {
namespace {

using nlohmann::json;

TEST(ScanProgressBarTest, RendersTheRecordWithinTheWidth) {
  const json counting{{"files_scanned", 12}, {"threats_found", 0}, {"current_file", "/home/a.txt"}};
  const json counted{{"files_scanned", 450},
                     {"threats_found", 2},
                     {"total_files", 1000},
                     {"percent", 45.0},
                     {"seconds_left", 125},
                     {"current_file", "/home/user/documentos/informes/2026/diciembre/resumen.pdf"}};
  const json cancelling{{"files_scanned", 1000}, {"threats_found", 0},
                        {"total_files", 1000},   {"percent", 100.0},
                        {"seconds_left", 3725},  {"cancel_requested", true}};
  struct Case {
    const json& record;
    int columns;
    std::string line;
  };
  const Case cases[] = {
      {counting, 80, "[contando...] 12 archivos  0 amenazas  /home/a.txt"},
      {counted, 140,
       "[#########...........]  45.0%  450/1000 archivos  2 amenazas  quedan 2m05s  "
       "/home/user/documentos/informes/2026/diciembre/resumen.pdf"},
      // The file is shortened from the left, keeping its name.
      {counted, 100,
       "[#########...........]  45.0%  450/1000 archivos  2 amenazas  quedan 2m05s  "
       "...iciembre/resumen.pdf"},
      // With no room for the file, the end of the line gives way.
      {counted, 40, "[#########...........]  45.0%  450/1000"},
      {cancelling, 120,
       "[####################] 100.0%  1000/1000 archivos  0 amenazas  quedan 1h02m  "
       "cancelando..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const std::string line = ScanProgressBar::render(c.record, c.columns);
    EXPECT_EQ(line, c.line);
    EXPECT_LT(static_cast<int>(line.size()), c.columns);
  }
}

}  // namespace
}  // namespace norvid
