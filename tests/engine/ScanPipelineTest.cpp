#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "engine/ScanThreadPool.hpp"
#include "engine/Scanner.hpp"
#include "engine/YaraEngine.hpp"
#include "exclusions/ExclusionsManager.hpp"
#include "tests/support/ArchiveFixtures.hpp"
#include "tests/support/PeImageBuilder.hpp"
#include "tests/support/RuleFixtures.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TmpfsMount.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using norvid::testing::ArchiveFixtures;
using norvid::testing::ArchiveFormat;
using norvid::testing::ArchiveMember;
using norvid::testing::PeImageBuilder;
using norvid::testing::RuleFixtures;
using norvid::testing::TempDir;
using norvid::testing::TmpfsMount;

const std::string kMarker = "norvid-pipeline-marker";

struct Captured {
  DirectoryScanResult results;
  std::string out;
  std::string err;
};

// One line per verdict with every field a caller can see.
std::string describe(const DirectoryScanResult& results) {
  std::string text;
  for (const ScanResult& result : results) {
    text += result.path + " | " + scanStatusWord(result.status) + " | " + result.threat + " | " +
            std::to_string(result.depth) + " | " + result.container + " | " +
            (result.peAnalyzed ? "pe " + std::to_string(result.pe.score) : "-") + "\n";
  }
  return text;
}

// Extraction directories get random names; everything else must match byte for byte.
std::string withoutRandomNames(const std::string& text) {
  return std::regex_replace(text, std::regex("av_extract_[0-9a-f-]+"), "av_extract_X");
}

class ScanPipelineTest : public ::testing::Test {
 protected:
  ScanPipelineTest() : rules(temp.path() / "rules"), engine((temp.path() / "data").string()) {
    rules.write("marker.yar", RuleFixtures::ruleMatching("Pipeline_Marker", kMarker));
    EXPECT_TRUE(engine.initialize());
    EXPECT_TRUE(engine.loadRulesFromDirectory(rules.str()));
    EXPECT_TRUE(exclusions.initialize());
  }

  Captured scanTree(Scanner& scanner, const std::string& root) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    Captured captured;
    captured.results = scanner.scanDirectory(root, true);
    captured.out = ::testing::internal::GetCapturedStdout();
    captured.err = ::testing::internal::GetCapturedStderr();
    return captured;
  }

  ScanResult scanQuietly(Scanner& scanner, const std::string& path, std::string* out = nullptr) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    ScanResult result = scanner.scanFile(path, 0, "");
    std::string printed = ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
    if (out != nullptr) *out = printed;
    return result;
  }

  TempDir temp;
  RuleFixtures rules;
  YaraEngine engine{temp.str()};
  ExclusionsManager exclusions{(temp.path() / "config" / "exclusions.json").string()};
  const std::string extraction = temp.str() + "/extract";
};

TEST_F(ScanPipelineTest, ParallelScanGivesTheSerialAnswerInWalkOrder) {
  const std::string root = temp.str() + "/tree";
  const ArchiveMember evil = ArchiveMember::file("evil.txt", kMarker);
  for (int i = 0; i < 6; ++i) {
    const std::string dir = root + "/d" + std::to_string(i) + "/sub" + std::to_string(i % 2);
    temp.write("tree/d" + std::to_string(i) + "/plain.txt", "nothing here " + std::to_string(i));
    temp.write("tree/d" + std::to_string(i) + "/sub" + std::to_string(i % 2) + "/hit.txt",
               "x" + kMarker);
    ArchiveFixtures::write(dir + "/inner.zip", ArchiveFormat::Zip,
                           {ArchiveMember::file("a.txt", "clean"), evil});
    ArchiveFixtures::write(dir + "/clean.tar.gz", ArchiveFormat::TarGz,
                           {ArchiveMember::file("b.txt", "clean")});
    temp.write("tree/d" + std::to_string(i) + "/tool.exe",
               PeImageBuilder()
                   .section("UPX0", PeImageBuilder::kExecute | PeImageBuilder::kWrite,
                            std::string(512, 'u'))
                   .build());
    temp.write("tree/d" + std::to_string(i) + "/excluded.txt", kMarker);
  }
  temp.write("tree/corrupt.zip", "PK-not really");
  fs::create_symlink(root + "/missing", root + "/dangling");
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);
  ASSERT_TRUE(exclusions.addExclusion(root + "/d3/excluded.txt", "test"));

  Scanner serial(&engine, true, true, &exclusions, extraction, nullptr);
  ScanThreadPool pool(4);
  Scanner parallel(&engine, true, true, &exclusions, extraction, &pool);
  const Captured one = scanTree(serial, root);
  const Captured many = scanTree(parallel, root);

  ASSERT_EQ(one.results.size(), 6u * 6u + 2u);
  EXPECT_EQ(describe(many.results), describe(one.results));
  EXPECT_EQ(withoutRandomNames(many.out), withoutRandomNames(one.out));
  EXPECT_EQ(withoutRandomNames(many.err), withoutRandomNames(one.err));
  // The console lines of each archive stay together, from detection to clean-up.
  EXPECT_NE(many.out.find("[INFO] Archivo comprimido detectado: " + root + "/d0/sub0/inner.zip"),
            std::string::npos);
}

// A scan's files must not wait behind another scan's whole backlog: the pool's threads take one
// task of each queue with work in turn, and a queue's own tasks stay in their order.
TEST(ScanThreadPoolTest, QueuesTakeTurnsWhateverTheirBacklog) {
  ScanThreadPool pool(1);
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::mutex mutex;
  std::vector<std::string> order;
  auto task = [&](std::string name) {
    return [&, name] {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(name);
    };
  };
  std::promise<void> holding;
  // The one thread waits on the gate, so everything below is queued before anything runs.
  pool.submit([&holding, opened] {
    holding.set_value();
    opened.wait();
  });
  holding.get_future().wait();
  ScanThreadPool::Queue large(pool);
  ScanThreadPool::Queue small(pool);
  for (int i = 0; i < 50; ++i) large.submit(task("large" + std::to_string(i)));
  small.submit(task("small0"));
  small.submit(task("small1"));
  pool.submit(task("shared0"));
  std::promise<void> done;
  large.submit([&done] { done.set_value(); });
  gate.set_value();
  done.get_future().wait();

  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(order.size(), 53u);
  EXPECT_EQ(
      std::vector<std::string>(order.begin(), order.begin() + 6),
      (std::vector<std::string>{"large0", "small0", "shared0", "large1", "small1", "large2"}));
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(std::count(order.begin(), order.end(), "large" + std::to_string(i)), 1);
  }
  EXPECT_TRUE(std::is_sorted(order.begin() + 5, order.end(), [](const auto& a, const auto& b) {
    return std::stoi(a.substr(5)) < std::stoi(b.substr(5));
  }));
}

TEST_F(ScanPipelineTest, FilesSwappedForFifosOrLinksNeverBlock) {
  const std::string path = temp.str() + "/swap/target";
  const std::string fifo = temp.str() + "/swap/fifo";
  fs::create_directories(temp.path() / "swap");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ScanThreadPool pool(2);
  Scanner scanner(&engine, true, true, nullptr, extraction, &pool);
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    fs::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(scanQuietly(scanner, path).threat, "Not a regular file");
    fs::remove(path);
    fs::create_symlink(fifo, path);
    EXPECT_EQ(scanQuietly(scanner, path).threat, "Not a regular file");
    Captured walk = scanTree(scanner, temp.str() + "/swap");
    EXPECT_TRUE(walk.results.empty());
    fs::remove(path);
    temp.write("swap/target", kMarker);
    EXPECT_EQ(scanQuietly(scanner, path).status, ScanStatus::INFECTED);
  }
}

// Verdicts are kept only for files whose times lie a little before the scan.
void letTimesSettle() { std::this_thread::sleep_for(std::chrono::milliseconds(150)); }

TEST_F(ScanPipelineTest, UnchangedFileIsAnsweredFromTheCacheWithTheSameLines) {
  const std::string archive = ArchiveFixtures::write(
      temp.str() + "/c/clean.zip", ArchiveFormat::Zip, {ArchiveMember::file("a.txt", "clean")});
  Scanner scanner(&engine, true, true, &exclusions, extraction, nullptr);
  letTimesSettle();

  std::string first;
  std::string second;
  const ScanResult fresh = scanQuietly(scanner, archive, &first);
  const ScanResult cached = scanQuietly(scanner, archive, &second);
  EXPECT_EQ(describe({cached}), describe({fresh}));
  // A fresh scan extracts into a new randomly named directory; the cached answer replays the
  // lines of the first scan, name included.
  ASSERT_NE(first.find("av_extract_"), std::string::npos);
  EXPECT_EQ(second, first);
  EXPECT_EQ(scanner.cachedVerdicts(), 1u);

  // Any change of the exclusion list is seen at once: the file is excluded, then judged afresh.
  ASSERT_TRUE(exclusions.addExclusion(archive, "test"));
  EXPECT_EQ(scanQuietly(scanner, archive).threat, "Excluded by user");
  ASSERT_TRUE(exclusions.removeExclusion(ExclusionType::Path, archive));
  std::string third;
  EXPECT_EQ(scanQuietly(scanner, archive, &third).status, ScanStatus::CLEAN);
  EXPECT_NE(third, first);
}

// A write through a shared mapping changes no time once the page is writable, so a verdict is
// kept only when no one holds the file open for writing; on the test's own file system and on a
// tmpfs.
TEST_F(ScanPipelineTest, WritesThroughASharedMappingAreNeverHiddenByAKeptVerdict) {
  TmpfsMount tmpfs(temp.str() + "/tmpfs");
  std::vector<std::string> places{temp.str() + "/mapped"};
  if (tmpfs.mounted()) {
    places.push_back(tmpfs.path());
  } else {
    std::cerr << "[ SKIPPED  ] tmpfs case: cannot mount a tmpfs: " << tmpfs.error() << "\n";
  }
  for (const std::string& place : places) {
    SCOPED_TRACE(place);
    fs::create_directories(place);
    const std::string path = place + "/mapped.bin";
    temp.write(fs::relative(path, temp.path()).string(), std::string(4096, 'a'));
    Scanner scanner(&engine, true, true, nullptr, extraction, nullptr);

    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* mapped = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(mapped, MAP_FAILED);
    char* bytes = static_cast<char*>(mapped);
    bytes[0] = 'b';
    letTimesSettle();
    EXPECT_EQ(scanQuietly(scanner, path).status, ScanStatus::CLEAN);
    std::memcpy(bytes + 100, kMarker.data(), kMarker.size());
    EXPECT_EQ(scanQuietly(scanner, path).status, ScanStatus::INFECTED);
    ::munmap(mapped, 4096);
    EXPECT_EQ(scanQuietly(scanner, path).status, ScanStatus::INFECTED);
  }
}

TEST_F(ScanPipelineTest, ContentChangedBehindRestoredSizeAndTimeIsScannedAgain) {
  const std::string path = temp.write("c/file.txt", std::string(kMarker.size() + 1, 'a'));
  Scanner scanner(&engine, true, true, nullptr, extraction, nullptr);
  ASSERT_EQ(scanQuietly(scanner, path).status, ScanStatus::CLEAN);

  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  temp.write("c/file.txt", "b" + kMarker);
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  ASSERT_EQ(after.st_size, before.st_size);

  EXPECT_EQ(scanQuietly(scanner, path).status, ScanStatus::INFECTED);
}

TEST_F(ScanPipelineTest, WalkGoesOnPastTooDeepAndUnopenableDirectories) {
  // A chain of 2000 directories, and an infected file beside it, scanned with few descriptors.
  std::string chain = temp.str() + "/deep";
  fs::create_directories(chain);
  const std::string infected = temp.write("deep-sibling/hit.txt", kMarker);
  const std::string shallow = temp.write("deep/d/d/d/note.txt", "harmless");
  for (int level = 0; level < 2000; ++level) {
    chain += "/d";
    ASSERT_TRUE(fs::create_directory(chain) || fs::is_directory(chain)) << level;
  }
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  rlimit reduced = original;
#ifdef NORVID_SANITIZED
  // The sanitizers' own checks need free descriptors (a pipe) at any moment, so under them the
  // chain is cut by the depth limit instead of by running out of descriptors.
  reduced.rlim_cur = 512;
#else
  reduced.rlim_cur = 256;
#endif
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &reduced), 0);
  ScanThreadPool pool(2);
  Scanner scanner(&engine, true, true, nullptr, extraction, &pool);
  const Captured captured = scanTree(scanner, temp.str());
  ::setrlimit(RLIMIT_NOFILE, &original);

  bool sawInfected = false;
  bool sawShallow = false;
  int chainErrors = 0;
  for (const ScanResult& result : captured.results) {
    if (result.path == infected) sawInfected = result.status == ScanStatus::INFECTED;
    if (result.path == shallow) sawShallow = result.status == ScanStatus::CLEAN;
    if (result.status == ScanStatus::ERROR && result.path.rfind(temp.str() + "/deep/", 0) == 0) {
      ++chainErrors;
      EXPECT_TRUE(result.threat == "Directory nesting too deep" ||
                  result.threat.rfind("Filesystem error: ", 0) == 0)
          << result.threat;
    }
  }
  EXPECT_TRUE(sawInfected);
  EXPECT_TRUE(sawShallow);
  EXPECT_EQ(chainErrors, 1);
}

TEST_F(ScanPipelineTest, DirectoriesBelowTheDepthLimitAreReportedOnce) {
  std::string chain = temp.str() + "/limit";
  for (int level = 1; level <= DirectoryWalker::kMaxDepth + 5; ++level) {
    chain += "/d";
    fs::create_directories(chain);
    if (level == DirectoryWalker::kMaxDepth) {
      temp.write(chain.substr(temp.str().size() + 1) + "/last.txt", kMarker);
    }
  }
  Scanner scanner(&engine, true, true, nullptr, extraction, nullptr);
  const Captured captured = scanTree(scanner, temp.str() + "/limit");
  ASSERT_EQ(captured.results.size(), 2u);
  EXPECT_EQ(captured.results[0].status, ScanStatus::INFECTED);
  EXPECT_EQ(captured.results[1].status, ScanStatus::ERROR);
  EXPECT_EQ(captured.results[1].threat, "Directory nesting too deep");
  std::string expected = temp.str() + "/limit";
  for (int level = 0; level <= DirectoryWalker::kMaxDepth; ++level) expected += "/d";
  EXPECT_EQ(captured.results[1].path, expected);
}

TEST_F(ScanPipelineTest, NestedArchivesShareOneExtractionBudget) {
  // Every archive stays well under 100:1 of its own size, but what all levels write together is
  // far more than 100 times the outer file.
  std::mt19937 random(7);
  std::string noise(1024, '\0');
  for (char& byte : noise) byte = static_cast<char>(random() & 0xFF);
  const std::string inner = ArchiveFixtures::build(
      ArchiveFormat::Zip, {ArchiveMember::file("data.bin", noise + std::string(90 * 1024, '\0'))});
  std::vector<ArchiveMember> copies;
  for (int i = 0; i < 50; ++i) {
    copies.push_back(ArchiveMember::file("i" + std::to_string(i) + ".zip", inner));
  }
  const std::string outer =
      ArchiveFixtures::write(temp.str() + "/b/outer.tar.gz", ArchiveFormat::TarGz, copies);
  ASSERT_LT(91.0 * 1024 / static_cast<double>(inner.size()), 100.0);
  ASSERT_LT(50.0 * static_cast<double>(inner.size()) / static_cast<double>(fs::file_size(outer)),
            100.0);

  Scanner scanner(&engine, true, true, nullptr, extraction, nullptr);
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const ScanResult result = scanner.scanFile(outer, 0, "");
  ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(result.status, ScanStatus::SKIPPED);
  EXPECT_EQ(result.threat, "Zip bomb detected") << err;
  EXPECT_NE(err.find("[WARN] Zip bomb detectado: "), std::string::npos) << err;

  // The same members in an outer archive as large as what they unpack to are fine.
  copies.push_back(ArchiveMember::file("padding.bin", std::string(5 * 1024 * 1024, 'p')));
  const std::string roomy =
      ArchiveFixtures::write(temp.str() + "/b/roomy.tar", ArchiveFormat::Tar, copies);
  EXPECT_EQ(scanQuietly(scanner, roomy).status, ScanStatus::CLEAN);
}

}  // namespace
}  // namespace norvid
