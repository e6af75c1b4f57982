// Bench program behind bench/scan_bench.
//   scan_bench generate TREE COUNT   writes COUNT ordinary files (text and binary, a few of them
//                                    executables or detections, no archives) below TREE
//   scan_bench scan RULES TREE       loads RULES, scans TREE recursively with the scanner and
//                                    prints the figures on the error stream
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

#include "engine/Scanner.hpp"
#include "engine/YaraEngine.hpp"

namespace {

namespace fs = std::filesystem;

const char* const kWords[] = {"service", "report",  "scan",  "engine",  "quarantine", "rule",
                              "archive", "network", "user",  "process", "memory",     "file",
                              "config",  "device",  "event", "session", "window",     "token"};

std::string textContent(std::mt19937& random, std::size_t size) {
  std::string text;
  std::uniform_int_distribution<std::size_t> word(0, std::size(kWords) - 1);
  while (text.size() < size) {
    text += kWords[word(random)];
    text += (random() % 12 == 0) ? '\n' : ' ';
  }
  text.resize(size);
  return text;
}

std::string binaryContent(std::mt19937& random, std::size_t size) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
  return bytes;
}

int generate(const fs::path& tree, int count) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::size_t> size(200, 6000);
  std::uint64_t total = 0;
  for (int i = 0; i < count; ++i) {
    fs::path directory = tree / ("dir" + std::to_string(i % 20)) / ("sub" + std::to_string(i % 3));
    fs::create_directories(directory);
    std::string content;
    std::string name = "file" + std::to_string(i);
    if (i % 500 == 7) {
      content = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*\n";
      name += ".com";
    } else if (i % 500 == 123) {
      content = "<?php eval($_POST['c']); ?>\n" + textContent(random, 300);
      name += ".php";
    } else if (i % 50 == 3) {
      content = "MZ" + binaryContent(random, size(random));
      name += ".exe";
    } else if (i % 3 == 0) {
      content = binaryContent(random, size(random));
      name += ".bin";
    } else {
      content = textContent(random, size(random));
      name += ".txt";
    }
    std::ofstream(directory / name, std::ios::binary) << content;
    total += content.size();
  }
  std::cerr << "generated " << count << " files, " << total << " bytes\n";
  return 0;
}

int scan(const std::string& rules, const std::string& tree) {
  using Clock = std::chrono::steady_clock;
  const fs::path traceDirectory = fs::temp_directory_path() / "norvid-scan-bench";
  fs::create_directories(traceDirectory);

  const auto start = Clock::now();
  norvid::YaraEngine engine(traceDirectory.string());
  if (!engine.initialize() || !engine.loadRulesFromDirectory(rules)) {
    std::cerr << "cannot load rules from " << rules << ": " << engine.lastError() << "\n";
    return 1;
  }
  norvid::Scanner scanner(&engine, true, true, nullptr);
  const auto loaded = Clock::now();
  norvid::DirectoryScanResult results = scanner.scanDirectory(tree, true);
  const auto done = Clock::now();
  std::cout.flush();

  std::uint64_t bytes = 0;
  int threats = 0;
  for (const norvid::ScanResult& result : results) {
    std::error_code error;
    bytes += fs::file_size(result.path, error);
    if (result.status == norvid::ScanStatus::INFECTED) ++threats;
  }
  const double loadSeconds = std::chrono::duration<double>(loaded - start).count();
  const double scanSeconds = std::chrono::duration<double>(done - loaded).count();
  std::cerr << "files=" << results.size() << " bytes=" << bytes << " threats=" << threats
            << " rules=" << engine.getTotalRules() << " load_seconds=" << loadSeconds
            << " scan_seconds=" << scanSeconds << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "generate" && argc == 4) return generate(argv[2], std::stoi(argv[3]));
    if (mode == "scan" && argc == 4) return scan(argv[2], argv[3]);
  } catch (const std::exception& error) {
    std::cerr << "scan_bench: " << error.what() << "\n";
    return 1;
  }
  std::cerr << "usage: scan_bench generate TREE COUNT | scan_bench scan RULES TREE\n";
  return 2;
}
