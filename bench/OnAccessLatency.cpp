// Measures how fast the on-access watcher gets infected files quarantined, in a watched directory.
//   onaccess_latency DIR COUNT
//     Writes COUNT infected test files one at a time and measures, for each, the time from the
//     close after writing until the file is gone from its path (quarantined). Prints
//     "p50_ms p99_ms max_ms missed" where missed counts files still present after 10 s.
//   onaccess_latency --burst DIR COUNT
//     Writes COUNT small clean files as fast as it can, then one infected file, and measures the
//     time from the end of the burst until the infected file is quarantined (the watcher has
//     caught up, by its events or by a walk after lost ones). Prints "burst_s catchup_s" with
//     catchup_s "nan" when the file was still there after 15 minutes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

bool writeFile(const std::string& path, const std::string& content) {
  int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (descriptor < 0 || ::write(descriptor, content.data(), content.size()) < 0) {
    std::perror(path.c_str());
    if (descriptor >= 0) ::close(descriptor);
    return false;
  }
  ::close(descriptor);
  return true;
}

// Waits until `path` is gone or `limit` passed; true when it is gone.
bool waitGone(const std::string& path, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  while (::access(path.c_str(), F_OK) == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return ::access(path.c_str(), F_OK) != 0;
}

int burst(const std::string& directory, int count) {
  const auto began = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (!writeFile(directory + "/burst-" + std::to_string(i) + ".txt",
                   "file " + std::to_string(i) + "\n")) {
      return 1;
    }
  }
  const std::string infected = directory + "/after-burst.com";
  if (!writeFile(infected, kEicar)) return 1;
  const auto written = Clock::now();
  const bool gone = waitGone(infected, std::chrono::minutes(15));
  const double burstSeconds = std::chrono::duration<double>(written - began).count();
  if (!gone) {
    std::printf("%.2f nan\n", burstSeconds);
    return 0;
  }
  std::printf("%.2f %.2f\n", burstSeconds,
              std::chrono::duration<double>(Clock::now() - written).count());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--burst") return burst(argv[2], std::stoi(argv[3]));
  if (argc != 3) {
    std::fprintf(stderr, "usage: onaccess_latency [--burst] DIR COUNT\n");
    return 2;
  }
  const std::string directory = argv[1];
  const int count = std::stoi(argv[2]);
  std::vector<double> latencies;
  int missed = 0;
  for (int i = 0; i < count; ++i) {
    const std::string path = directory + "/latency-" + std::to_string(i) + ".com";
    if (!writeFile(path, kEicar)) return 1;
    const auto closed = Clock::now();
    if (!waitGone(path, std::chrono::seconds(10))) {
      ++missed;
      ::unlink(path.c_str());
      continue;
    }
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - closed).count());
  }
  if (latencies.empty()) {
    std::printf("nan nan nan %d\n", missed);
    return 0;
  }
  std::sort(latencies.begin(), latencies.end());
  auto at = [&latencies](double quantile) {
    std::size_t index = static_cast<std::size_t>(quantile * (latencies.size() - 1) + 0.5);
    return latencies[std::min(index, latencies.size() - 1)];
  };
  std::printf("%.1f %.1f %.1f %d\n", at(0.5), at(0.99), latencies.back(), missed);
  return 0;
}
