// Bench program behind bench/hash_bench.
//   hash_bench generate FILE COUNT any|sized [MIN]
//                                              writes COUNT random SHA-256 signatures, of any size
//                                              (`*`) or each of a random size from MIN bytes
//                                              (default 1) up to 64 MiB
//   hash_bench load FILE                       loads the list and prints the load time and the
//                                              resident memory it added
//   hash_bench match FILE TREE ROUNDS          loads the list, then matches every file below TREE
//                                              against it ROUNDS times (page cache warm) and
//                                              prints the time per file: the hashing a scan adds
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

#include "engine/HashSignatures.hpp"
#include "platform/FileHandle.hpp"
#include "platform/ProcessInfo.hpp"

namespace {

int generate(const std::string& path, long count, bool anySize, std::uint64_t minSize) {
  std::ofstream out(path);
  std::mt19937_64 random(28);
  std::uniform_int_distribution<std::uint64_t> size(minSize, 64ull * 1024 * 1024);
  const char* digits = "0123456789abcdef";
  std::string line;
  for (long i = 0; i < count; ++i) {
    line.clear();
    for (int word = 0; word < 4; ++word) {
      std::uint64_t bits = random();
      for (int nibble = 0; nibble < 16; ++nibble, bits >>= 4) line += digits[bits & 15];
    }
    line += ':';
    line += anySize ? std::string("*") : std::to_string(size(random));
    line += ":Bench.Signature-" + std::to_string(i) + ":73\n";
    out << line;
  }
  return out ? 0 : 1;
}

int load(const std::string& path) {
  const std::uint64_t before = norvid::platform::residentMemoryBytes().value_or(0);
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpuStart = std::clock();
  norvid::HashSignatures signatures(64ull * 1024 * 1024);
  const norvid::HashSignatures::ListLoad list = signatures.loadList(path);
  signatures.finish();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  const std::uint64_t after = norvid::platform::residentMemoryBytes().value_or(0);
  std::cerr << "signatures=" << signatures.count() << " malformed=" << list.malformed
            << " load_seconds=" << seconds << " load_cpu_seconds=" << cpuSeconds
            << " resident_added_mib=" << static_cast<double>(after - before) / (1024.0 * 1024.0)
            << "\n";
  return 0;
}

int match(const std::string& path, const std::string& tree, int rounds) {
  norvid::HashSignatures signatures(64ull * 1024 * 1024);
  signatures.loadList(path);
  signatures.finish();
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree)) {
    if (entry.is_regular_file()) files.push_back(entry.path().string());
  }
  std::size_t matched = 0;
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpuStart = std::clock();
  for (int round = 0; round < rounds; ++round) {
    for (const std::string& file : files) {
      auto handle = norvid::platform::FileHandle::openForReading(file);
      if (!handle) continue;
      const auto status = handle->status();
      if (!status) continue;
      const norvid::HashSignatures::Reader read =
          [&handle](std::uint64_t offset, unsigned char* buffer, std::size_t size) -> std::int64_t {
        const auto got = handle->readAt(offset, reinterpret_cast<char*>(buffer), size);
        return got ? static_cast<std::int64_t>(*got) : -1;
      };
      matched += signatures.match(status->size, read).size();
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  const double runs = static_cast<double>(files.size()) * rounds;
  // CPU time says more than wall time on a busy machine.
  std::cerr << "files=" << files.size() << " rounds=" << rounds << " matched=" << matched
            << " microseconds_per_file=" << seconds * 1e6 / runs
            << " cpu_microseconds_per_file=" << cpuSeconds * 1e6 / runs << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "generate" && (argc == 5 || argc == 6)) {
    const std::uint64_t minSize = argc == 6 ? std::stoull(argv[5]) : 1;
    if (minSize < 1 || minSize > 64ull * 1024 * 1024) {
      std::cerr << "hash_bench: MIN must lie between 1 and 64 MiB\n";
      return 2;
    }
    return generate(argv[2], std::stol(argv[3]), std::string(argv[4]) == "any", minSize);
  }
  if (mode == "load" && argc == 3) return load(argv[2]);
  if (mode == "match" && argc == 5) return match(argv[2], argv[3], std::stoi(argv[4]));
  std::cerr << "usage: hash_bench generate FILE COUNT any|sized [MIN] | hash_bench load FILE | "
               "hash_bench match FILE TREE ROUNDS\n";
  return 2;
}
