// Prints the throughput of quarantine coding, hashing and a full quarantine/restore cycle.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quarantine/QuarantineManager.hpp"

namespace fs = std::filesystem;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void writeSample(const std::string& path, std::size_t mebibytes) {
  std::vector<char> block(1 << 20);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
  std::ofstream out(path, std::ios::binary);
  for (std::size_t i = 0; i < mebibytes; ++i)
    out.write(block.data(), static_cast<long>(block.size()));
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  fs::path root = fs::temp_directory_path() / "norvid-quarantine-bench";
  fs::remove_all(root);
  fs::create_directories(root);
  std::string sample = (root / "sample.bin").string();
  writeSample(sample, mebibytes);
  const std::string key(norvid::QuarantineManager::kQuarantineKey);
  const double size = static_cast<double>(mebibytes);

  auto start = std::chrono::steady_clock::now();
  bool coded = norvid::QuarantineManager::encryptFile(sample, (root / "coded.bin").string(), key);
  double codeSeconds = secondsSince(start);

  start = std::chrono::steady_clock::now();
  std::string hash = norvid::QuarantineManager::calculateSHA256(sample);
  double hashSeconds = secondsSince(start);

  std::string id;
  bool restored = false;
  start = std::chrono::steady_clock::now();
  {
    norvid::QuarantineManager manager((root / "store").string());
    id = manager.quarantineFile(sample, "Bench", "YARA");
    restored = !id.empty() && manager.restoreFile(id, "");
  }
  double cycleSeconds = secondsSince(start);

  std::printf("file: %zu MiB\n", mebibytes);
  std::printf("code (encryptFile): %.2f s, %.0f MiB/s%s\n", codeSeconds, size / codeSeconds,
              coded ? "" : " FAILED");
  std::printf("sha256: %.2f s, %.0f MiB/s%s\n", hashSeconds, size / hashSeconds,
              hash.empty() ? " FAILED" : "");
  std::printf("quarantine + restore: %.2f s, %.0f MiB/s%s\n", cycleSeconds, size / cycleSeconds,
              restored ? "" : " FAILED");
  fs::remove_all(root);
  return coded && !hash.empty() && restored ? 0 : 1;
}
