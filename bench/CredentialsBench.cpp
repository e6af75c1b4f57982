// Bench program behind bench/credentials_bench: what taking a caller's file-system identity costs
// beside the work it guards.
//   credentials_bench RULES COUNT   writes COUNT small files, then prints the cost of one switch
//                                   (to uid 65534 and back) and of scanning each file with and
//                                   without a switch around it
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/Scanner.hpp"
#include "engine/YaraEngine.hpp"
#include "platform/FsCredentialsGuard.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double nanosecondsSince(Clock::time_point start, long count) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
         static_cast<double>(count);
}

norvid::CallerIdentity nobody() {
  norvid::CallerIdentity caller;
  caller.known = true;
  caller.uid = 65534;
  caller.gid = 65534;
  caller.groups = {100, 65534};
  return caller;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || ::geteuid() != 0) {
    std::fprintf(stderr, "usage (as root): credentials_bench RULES COUNT\n");
    return 2;
  }
  const long count = std::stol(argv[2]);
  const fs::path tree =
      fs::temp_directory_path() / ("norvid-cred-bench-" + std::to_string(::getpid()));
  fs::create_directories(tree);
  fs::permissions(tree, fs::perms(0755));
  std::vector<std::string> files;
  for (long i = 0; i < count; ++i) {
    files.push_back((tree / ("file" + std::to_string(i) + ".txt")).string());
    std::ofstream(files.back()) << std::string(2000 + i % 3000, static_cast<char>('a' + i % 26));
  }

  norvid::YaraEngine engine(tree.string());
  if (!engine.initialize() || !engine.loadRulesFromDirectory(argv[1])) {
    std::fprintf(stderr, "rules could not be loaded from %s\n", argv[1]);
    return 1;
  }
  norvid::Scanner scanner(&engine, true, true, nullptr, tree.string() + "-extract");
  const norvid::CallerIdentity caller = nobody();

  constexpr long kSwitches = 200000;
  Clock::time_point start = Clock::now();
  for (long i = 0; i < kSwitches; ++i) norvid::platform::FsCredentialsGuard guard(caller);
  const double perSwitch = nanosecondsSince(start, kSwitches);

  double plain = 1e300, guarded = 1e300;
  for (int round = 0; round < 5; ++round) {
    start = Clock::now();
    for (const std::string& file : files) scanner.scanFile(file, 0, "");
    plain = std::min(plain, nanosecondsSince(start, count));
    start = Clock::now();
    for (const std::string& file : files) {
      norvid::platform::FsCredentialsGuard guard(caller);
      scanner.scanFile(file, 0, "");
    }
    guarded = std::min(guarded, nanosecondsSince(start, count));
  }
  fs::remove_all(tree);
  fs::remove_all(tree.string() + "-extract");

  std::printf("switch to the caller and back:   %8.0f ns\n", perSwitch);
  std::printf("scan of one file, no switch:     %8.0f ns\n", plain);
  std::printf("scan of one file, switch around: %8.0f ns\n", guarded);
  std::printf("switch per scanned file:         %8.1f %% of the file's cost\n",
              100.0 * perSwitch / plain);
  return 0;
}
