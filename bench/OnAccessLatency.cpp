// Writes infected test files one at a time into a watched directory and measures, for each, the
// time from the close after writing until the file is gone from its path (quarantined). Prints
// "p50_ms p99_ms max_ms missed" where missed counts files still present after 10 s.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: onaccess_latency DIR COUNT\n");
    return 2;
  }
  const std::string directory = argv[1];
  const int count = std::stoi(argv[2]);
  const std::string eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
  using Clock = std::chrono::steady_clock;
  std::vector<double> latencies;
  int missed = 0;
  for (int i = 0; i < count; ++i) {
    const std::string path = directory + "/latency-" + std::to_string(i) + ".com";
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0 || ::write(descriptor, eicar.data(), eicar.size()) < 0) {
      std::perror(path.c_str());
      return 1;
    }
    ::close(descriptor);
    const auto closed = Clock::now();
    const auto limit = closed + std::chrono::seconds(10);
    while (::access(path.c_str(), F_OK) == 0 && Clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (::access(path.c_str(), F_OK) == 0) {
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
