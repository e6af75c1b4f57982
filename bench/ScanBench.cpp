// Bench program behind bench/scan_bench.
//   scan_bench generate TREE COUNT   writes COUNT ordinary files (text and binary, a few of them
//                                    executables or detections, no archives) below TREE
//   scan_bench scan RULES TREE       loads RULES, scans TREE recursively with the scanner and
//                                    prints the figures on the error stream
//   scan_bench scan-tracked RULES TREE
//                                    the same with the progress bookkeeping of a running scan:
//                                    a progress record and the counting walk beside the scan
//   scan_bench copy SOURCE TREE MB   copies regular files of at most 64 MiB that are not archives
//                                    from SOURCE to TREE until MB megabytes are there
//   scan_bench rules FILE COUNT      writes COUNT generated rules (text, hex and regular
//                                    expression strings, some conditions on the pe module)
//   scan_bench typed-rules DIR COUNT [common]
//                                    writes COUNT generated rules shaped like public collections
//                                    into files of eight rules below DIR: most test the first
//                                    bytes (MZ, ELF, PDF, ZIP) and many read the pe module,
//                                    every file imports pe; with `common` some look for strings
//                                    ordinary files hold
//   scan_bench scan-whole RULES TREE `scan` with the rules compiled as one whole set
//   scan_bench compare RULES TREE    matches every file below TREE with the split sets and with
//                                    the whole set and prints the files that differ
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <random>
#include <string>
#include <thread>

#include "engine/FileCounter.hpp"
#include "engine/ScanProgress.hpp"
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

// True for the first bytes of the archives and compressed files the scanner or libarchive would
// open, so the copied tree measures plain matching.
bool looksLikeArchive(const unsigned char* head, std::size_t size, const std::string& name) {
  auto starts = [&](std::initializer_list<unsigned char> magic) {
    return size >= magic.size() && std::equal(magic.begin(), magic.end(), head);
  };
  if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".tar") == 0) return true;
  return starts({0x50, 0x4B}) || starts({0x52, 0x61, 0x72, 0x21}) ||
         starts({0x37, 0x7A, 0xBC, 0xAF}) || starts({0x1F, 0x8B}) ||
         starts({0xFD, 0x37, 0x7A, 0x58, 0x5A}) || starts({0x42, 0x5A, 0x68}) ||
         starts({0x28, 0xB5, 0x2F, 0xFD}) || starts({0x21, 0x3C, 0x61, 0x72, 0x63, 0x68});
}

int copyTree(const fs::path& source, const fs::path& tree, std::uint64_t megabytes) {
  const std::uint64_t wanted = megabytes * 1024 * 1024;
  std::uint64_t total = 0;
  std::uint64_t files = 0;
  const auto options = fs::directory_options::skip_permission_denied;
  std::error_code error;
  for (fs::recursive_directory_iterator it(source, options, error), end;
       it != end && total < wanted; it.increment(error)) {
    if (error) break;
    if (!it->is_regular_file(error) || it->is_symlink(error)) continue;
    const std::uint64_t size = it->file_size(error);
    if (error || size == 0 || size > 64ull * 1024 * 1024) continue;
    std::ifstream in(it->path(), std::ios::binary);
    unsigned char head[8] = {};
    in.read(reinterpret_cast<char*>(head), sizeof head);
    if (!in && in.gcount() == 0) continue;
    if (looksLikeArchive(head, static_cast<std::size_t>(in.gcount()), it->path().string())) {
      continue;
    }
    const fs::path target = tree / it->path().lexically_relative(source);
    fs::create_directories(target.parent_path(), error);
    if (!fs::copy_file(it->path(), target, fs::copy_options::overwrite_existing, error)) continue;
    total += size;
    ++files;
  }
  std::cerr << "copied " << files << " files, " << total << " bytes\n";
  return total >= wanted ? 0 : 1;
}

std::string randomWord(std::mt19937& random, std::size_t length) {
  std::uniform_int_distribution<int> letter('a', 'z');
  std::string word;
  for (std::size_t i = 0; i < length; ++i) word += static_cast<char>(letter(random));
  return word;
}

std::string randomHex(std::mt19937& random, std::size_t bytes) {
  static const char* const digits = "0123456789ABCDEF";
  std::string hex;
  for (std::size_t i = 0; i < bytes; ++i) {
    if (i == bytes / 2) hex += "?? ";
    const unsigned value = random() & 0xFF;
    hex += digits[value >> 4];
    hex += digits[value & 0xF];
    hex += ' ';
  }
  return hex;
}

// Rules of the sizes and kinds public rule sets hold: a few strings each, text (some nocase or
// wide), hex with a wildcard, regular expressions anchored on a literal, and every tenth rule a
// condition on the pe module.
int writeRules(const fs::path& file, int count) {
  std::mt19937 random(5200);
  std::ofstream out(file);
  out << "import \"pe\"\n\n";
  for (int i = 0; i < count; ++i) {
    out << "rule Generated_" << i << " {\n  strings:\n";
    switch (i % 4) {
      case 0:
        out << "    $a = \"" << randomWord(random, 12) << "\"\n";
        out << "    $b = \"" << randomWord(random, 10) << "\" nocase\n";
        break;
      case 1:
        out << "    $a = { " << randomHex(random, 10) << "}\n";
        out << "    $b = \"" << randomWord(random, 11) << "\" wide ascii\n";
        break;
      case 2:
        out << "    $a = /" << randomWord(random, 9) << "[0-9]{2,6}" << randomWord(random, 3)
            << "/\n";
        out << "    $b = \"" << randomWord(random, 12) << "\"\n";
        break;
      default:
        out << "    $a = \"" << randomWord(random, 10) << "\"\n";
        out << "    $b = { " << randomHex(random, 8) << "}\n";
        out << "    $c = \"" << randomWord(random, 14) << "\"\n";
        break;
    }
    if (i % 10 == 9) {
      out << "  condition:\n    uint16(0) == 0x5A4D and pe.number_of_sections > 2 and any of "
             "them\n";
    } else {
      out << "  condition:\n    any of them\n";
    }
    out << "}\n\n";
  }
  return out ? 0 : 1;
}

// Rules shaped like a public collection: a magic test first, then the size and the strings.
// With `common`, one rule in ten also looks for a string ordinary files hold, so that a comparison
// sees matches of every kind.
int writeTypedRules(const fs::path& folder, int count, bool common) {
  std::mt19937 random(3100);
  std::uniform_int_distribution<int> percent(0, 99);
  fs::create_directories(folder);
  std::ofstream out;
  for (int i = 0; i < count; ++i) {
    if (i % 8 == 0) {
      out.close();
      out.open(folder / ("typed_" + std::to_string(i / 8) + ".yar"));
      out << "import \"pe\"\n\n";
    }
    out << "rule Typed_" << i << " {\n  strings:\n";
    out << "    $a = \"" << randomWord(random, 12) << "\"\n";
    out << "    $b = { " << randomHex(random, 8) << "}\n";
    out << "    $c = \"" << randomWord(random, 10) << "\" wide ascii\n";
    static const char* const kCommon[] = {"GLIBC_2.2.5", "This program cannot be run in DOS mode",
                                          "Copyright",   "#!/bin/sh",
                                          "%PDF-1.",     ".text",
                                          "usage:",      "http://"};
    if (common && i % 10 == 0)
      out << "    $d = \"" << kCommon[(i / 10) % std::size(kCommon)] << "\"\n";
    out << "  condition:\n    ";
    const int kind = percent(random);
    if (kind < 62) {
      out << "uint16(0) == 0x5A4D and filesize < 2000KB and ";
      if (kind % 3 == 0) out << "pe.number_of_sections > 2 and ";
    } else if (kind < 68) {
      out << "uint32(0) == 0x464C457F and filesize < 5MB and ";
    } else if (kind < 70) {
      out << "uint32(0) == 0x46445025 and ";
    } else if (kind < 72) {
      out << "uint16(0) == 0x4B50 and ";
    } else if (kind < 74) {
      out << "pe.is_pe and ";
    }
    out << (kind % 2 == 0 ? "2 of them" : "any of them") << "\n}\n\n";
  }
  return out ? 0 : 1;
}

// Every regular file below `tree` matched by the split sets and by the whole set.
int compare(const std::string& rules, const std::string& tree) {
  const fs::path traceDirectory = fs::temp_directory_path() / "norvid-scan-bench";
  fs::create_directories(traceDirectory);
  norvid::YaraEngine split(traceDirectory.string());
  norvid::YaraEngine whole(traceDirectory.string());
  whole.setSplitByLeadingBytes(false);
  for (norvid::YaraEngine* engine : {&whole, &split}) {
    if (!engine->initialize() || !engine->loadRulesFromDirectory(rules)) {
      std::cerr << "cannot load rules from " << rules << ": " << engine->lastError() << "\n";
      return 1;
    }
  }
  std::uint64_t compared = 0, differences = 0, matching = 0;
  for (const auto& entry : fs::recursive_directory_iterator(tree)) {
    if (!entry.is_regular_file() || entry.is_symlink()) continue;
    const std::vector<std::string> expected = whole.scanFile(entry.path().string());
    const std::vector<std::string> got = split.scanFile(entry.path().string());
    ++compared;
    if (!expected.empty()) ++matching;
    if (got == expected) continue;
    if (++differences <= 10) std::cerr << "differs: " << entry.path().string() << "\n";
  }
  std::cerr << "compared=" << compared << " with_matches=" << matching
            << " differences=" << differences << " rules=" << whole.getTotalRules() << "/"
            << split.getTotalRules() << "\n";
  return differences == 0 ? 0 : 1;
}

// CPU time the process has used so far, all threads, user and system: on a busy machine it
// varies less than the wall time.
double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int scan(const std::string& rules, const std::string& tree, bool tracked, bool whole = false) {
  using Clock = std::chrono::steady_clock;
  const fs::path traceDirectory = fs::temp_directory_path() / "norvid-scan-bench";
  fs::create_directories(traceDirectory);

  const auto start = Clock::now();
  norvid::YaraEngine engine(traceDirectory.string());
  engine.setSplitByLeadingBytes(!whole);
  if (!engine.initialize() || !engine.loadRulesFromDirectory(rules)) {
    std::cerr << "cannot load rules from " << rules << ": " << engine.lastError() << "\n";
    return 1;
  }
  norvid::Scanner scanner(&engine, true, true, nullptr, (traceDirectory / "extract").string());
  const auto loaded = Clock::now();
  const double cpuBefore = processCpuSeconds();
  norvid::ScanProgress progress;
  std::atomic<bool> stopCounting{false};
  std::thread counter;
  if (tracked) {
    counter = std::thread([&] {
      if (auto total = norvid::FileCounter::count(tree, stopCounting)) {
        progress.setTotalFiles(*total);
      }
    });
  }
  norvid::DirectoryScanResult results = scanner.scanDirectory(
      tree, true, norvid::CallerIdentity::service(), tracked ? &progress : nullptr);
  if (tracked) {
    stopCounting = true;
    counter.join();
  }
  const auto done = Clock::now();
  const double scanCpuSeconds = processCpuSeconds() - cpuBefore;
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
            << " scan_seconds=" << scanSeconds << " scan_cpu_seconds=" << scanCpuSeconds << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  try {
    if (mode == "generate" && argc == 4) return generate(argv[2], std::stoi(argv[3]));
    if (mode == "scan" && argc == 4) return scan(argv[2], argv[3], false);
    if (mode == "scan-tracked" && argc == 4) return scan(argv[2], argv[3], true);
    if (mode == "copy" && argc == 5) return copyTree(argv[2], argv[3], std::stoull(argv[4]));
    if (mode == "rules" && argc == 4) return writeRules(argv[2], std::stoi(argv[3]));
    if (mode == "typed-rules" && (argc == 4 || argc == 5)) {
      return writeTypedRules(argv[2], std::stoi(argv[3]),
                             argc == 5 && argv[4] == std::string("common"));
    }
    if (mode == "scan-whole" && argc == 4) return scan(argv[2], argv[3], false, true);
    if (mode == "compare" && argc == 4) return compare(argv[2], argv[3]);
  } catch (const std::exception& error) {
    std::cerr << "scan_bench: " << error.what() << "\n";
    return 1;
  }
  std::cerr << "usage: scan_bench generate TREE COUNT | scan RULES TREE | scan-tracked RULES TREE "
               "| copy SOURCE TREE MB |"
               " rules FILE COUNT | typed-rules DIR COUNT [common] | scan-whole RULES TREE | "
               "compare RULES"
               " TREE\n";
  return 2;
}
