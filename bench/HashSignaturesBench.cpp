// Bench program behind bench/hash_bench.
//   hash_bench generate FILE COUNT any|sized   writes COUNT random SHA-256 signatures, of any size
//                                              (`*`) or each of a random size up to 64 MiB
//   hash_bench load FILE                       loads the list and prints the load time and the
//                                              resident memory it added
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

#include "engine/HashSignatures.hpp"
#include "platform/ProcessInfo.hpp"

namespace {

int generate(const std::string& path, long count, bool anySize) {
  std::ofstream out(path);
  std::mt19937_64 random(28);
  std::uniform_int_distribution<std::uint64_t> size(1, 64ull * 1024 * 1024);
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
  norvid::HashSignatures signatures(64ull * 1024 * 1024);
  const norvid::HashSignatures::ListLoad list = signatures.loadList(path);
  signatures.finish();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::uint64_t after = norvid::platform::residentMemoryBytes().value_or(0);
  std::cerr << "signatures=" << signatures.count() << " malformed=" << list.malformed
            << " load_seconds=" << seconds
            << " resident_added_mib=" << static_cast<double>(after - before) / (1024.0 * 1024.0)
            << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "generate" && argc == 5) {
    return generate(argv[2], std::stol(argv[3]), std::string(argv[4]) == "any");
  }
  if (mode == "load" && argc == 3) return load(argv[2]);
  std::cerr << "usage: hash_bench generate FILE COUNT any|sized | hash_bench load FILE\n";
  return 2;
}
