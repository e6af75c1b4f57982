// Bench program behind bench/report_bench: report writers and the report listing on large inputs.
#include <chrono>
#include <cstdio>
#include <string>

#include "engine/EngineSlot.hpp"
#include "ipc/ReportCommands.hpp"
#include "reports/ReportListing.hpp"
#include "reports/ScanReport.hpp"

namespace {

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

norvid::ScanReport bigReport(int threats, int errors) {
  norvid::ScanReport report;
  report.begin("manual", "/srv/share");
  for (int i = 0; i < threats; ++i) {
    report.addResult("/srv/share/dir" + std::to_string(i % 97) + "/file" + std::to_string(i) +
                         ".exe",
                     "INFECTED", "Trojan_Generic, Dropper_" + std::to_string(i % 13));
  }
  for (int i = 0; i < errors; ++i) {
    report.addError("/srv/share/locked" + std::to_string(i), "Filesystem error: Permission denied");
  }
  for (int i = 0; i < 100000; ++i) report.addResult("/srv/share/clean", "CLEAN", "");
  report.finish(412);
  return report;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];

  for (int threats : {100, 10000, 100000}) {
    norvid::ScanReport report = bigReport(threats, threats / 10);
    auto start = std::chrono::steady_clock::now();
    std::string json = report.toJson();
    double jsonMs = millisecondsSince(start);
    start = std::chrono::steady_clock::now();
    std::string html = report.toHtml();
    double htmlMs = millisecondsSince(start);
    start = std::chrono::steady_clock::now();
    report.saveReports(dir + "/save");
    double saveMs = millisecondsSince(start);
    std::printf("report %6d threats %5d errors: toJson %7.2f ms (%8zu B), "
                "toHtml %7.2f ms (%8zu B), "
                "saveReports %7.2f ms\n",
                threats, threats / 10, jsonMs, json.size(), htmlMs, html.size(), saveMs);
  }

  norvid::ScanReport small = bigReport(3, 1);
  for (int i = 0; i < 1000; ++i) small.saveReports(dir + "/list");
  norvid::EngineSlot slot;
  norvid::ReportCommands commands(slot, dir + "/list");
  for (int maxCount : {50, 1000}) {
    auto start = std::chrono::steady_clock::now();
    auto paths = norvid::listReports(dir + "/list", maxCount);
    double listMs = millisecondsSince(start);
    start = std::chrono::steady_clock::now();
    std::string response = commands.handleListReports(maxCount);
    double commandMs = millisecondsSince(start);
    std::printf("1000 reports, max_count %4d: listReports %7.2f ms (%zu paths), list_reports "
                "%7.2f ms (%zu B)\n",
                maxCount, listMs, paths.size(), commandMs, response.size());
  }
  return 0;
}
