#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/ContentFingerprint.hpp"
#include "engine/PersistentVerdicts.hpp"
#include "engine/Scanner.hpp"
#include "engine/VerdictFile.hpp"
#include "engine/YaraEngine.hpp"
#include "exclusions/ExclusionsManager.hpp"
#include "platform/Sha256.hpp"
#include "tests/support/ReadCounter.hpp"
#include "tests/support/RuleFixtures.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/TmpfsMount.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using norvid::testing::ReadCounter;
using norvid::testing::RuleFixtures;
using norvid::testing::TempDir;
using norvid::testing::TmpfsMount;

// Both 17 bytes, so one may replace the other without changing the file's size.
const std::string kMarker = "norvid-marker-one";
const std::string kCleanText = "norvid-clean-text";

// Verdicts are kept only for files whose times lie a little before the scan.
void letTimesSettle() { std::this_thread::sleep_for(std::chrono::milliseconds(150)); }

// Puts the file's modification time back to a fixed moment, as `touch -d` would.
void setModificationTime(const std::string& path, std::int64_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

void overwrite(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

struct Console {
  std::string out;
  std::string err;
};

// The folders one service uses, kept from run to run.
struct Folders {
  explicit Folders(const fs::path& root)
      : rules(root / "rules"),
        allow((root / "allow").string()),
        data((root / "data").string()),
        extraction((root / "data/extract").string()),
        samples((root / "samples").string()) {
    rules.write("one.yar", RuleFixtures::ruleMatching("R1", kMarker));
    fs::create_directories(allow);
    fs::create_directories(extraction);
    fs::create_directories(samples);
  }
  std::string verdicts() const { return data + "/verdicts.bin"; }
  std::string exclusionsFile() const { return data + "/config/exclusions.json"; }

  RuleFixtures rules;
  std::string allow;
  std::string data;
  std::string extraction;
  std::string samples;
};

// One run of the service's scanning side: the exclusion list, an engine loaded from the folders,
// a scanner on it, and the store behind the scanner's cache, attached as the service does. The
// cache is written out when the run ends.
class ServiceRun {
 public:
  explicit ServiceRun(const Folders& folders,
                      PersistentVerdicts::MountTable mounts = &platform::FileSystemIds::mounted)
      : exclusions(folders.exclusionsFile()),
        store(folders.verdicts(), std::move(mounts)),
        engine(folders.data) {
    exclusions.initialize();
    const ContentFingerprint content =
        ContentFingerprint::ofEngineFolders(folders.rules.str(), {}, folders.allow, true, true);
    EXPECT_TRUE(engine.initialize());
    EXPECT_TRUE(engine.loadRulesFromDirectory(folders.rules.str()));
    engine.loadAllowList(folders.allow);
    scanner =
        std::make_unique<Scanner>(&engine, true, true, &exclusions, folders.extraction, nullptr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    restored = store.attach(scanner->verdictCache(), content, &exclusions);
    attachConsole.out = ::testing::internal::GetCapturedStdout();
    attachConsole.err = ::testing::internal::GetCapturedStderr();
  }
  ~ServiceRun() { store.detach(); }

  ScanResult scan(const std::string& path, Console* console = nullptr) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    ScanResult result = scanner->scanFile(path, 0, "");
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    if (console != nullptr) *console = {out, err};
    return result;
  }

  ExclusionsManager exclusions;
  PersistentVerdicts store;
  YaraEngine engine;
  std::unique_ptr<Scanner> scanner;
  std::size_t restored = 0;
  Console attachConsole;
};

std::string describe(const ScanResult& result) {
  return result.path + " | " + scanStatusWord(result.status) + " | " + result.threat;
}

class PersistentVerdictsTest : public ::testing::Test {
 protected:
  PersistentVerdictsTest() : folders(temp.path()) {}

  std::string sample(const std::string& name, const std::string& content) {
    return temp.write("samples/" + name, content);
  }

  TempDir temp;
  Folders folders;
};

TEST_F(PersistentVerdictsTest, NextRunAnswersUnchangedFilesWithoutReadingThem) {
  const std::string infected = sample("infected.bin", "head " + kMarker + " tail");
  const std::string clean = sample("clean.txt", kCleanText);
  letTimesSettle();
  Console firstInfected;
  Console firstClean;
  {
    ServiceRun first(folders);
    EXPECT_EQ(first.restored, 0u);
    EXPECT_EQ(first.scan(infected, &firstInfected).status, ScanStatus::INFECTED);
    EXPECT_EQ(first.scan(clean, &firstClean).status, ScanStatus::CLEAN);
  }
  const auto permissions = fs::status(folders.verdicts()).permissions();
  EXPECT_EQ(permissions & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);

  ReadCounter counter(folders.samples);
  ServiceRun second(folders);
  EXPECT_EQ(second.restored, 2u);
  Console again;
  EXPECT_EQ(describe(second.scan(infected, &again)), infected + " | INFECTED | R1");
  EXPECT_EQ(again.out, firstInfected.out);
  EXPECT_EQ(describe(second.scan(clean)), clean + " | CLEAN | ");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const DirectoryScanResult walk = second.scanner->scanDirectory(folders.samples, true);
  ::testing::internal::GetCapturedStdout();
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(walk.size(), 2u);
  EXPECT_EQ(counter.reads(), 0);

  // The control: a verdict made afresh reads the file.
  const std::string added = sample("added.txt", kCleanText);
  EXPECT_EQ(second.scan(added).status, ScanStatus::CLEAN);
  EXPECT_GT(counter.reads(), 0);
}

// Whatever the verdicts depend on besides the file itself, changed between two runs, starts the
// second one afresh, and its verdicts follow what is loaded now.
TEST(PersistentVerdictsChanges, AnyOtherContentOrExclusionListStartsAfresh) {
  struct Change {
    const char* name;
    std::function<void(Folders&, const std::string& clean)> apply;
    ScanStatus cleanFileNow;
  };
  const std::vector<Change> changes = {
      {"rule source edited",
       [](Folders& f, const std::string&) {
         f.rules.write("one.yar", RuleFixtures::ruleMatching("R1", kMarker) + "\n// edited\n");
       },
       ScanStatus::CLEAN},
      {"rule matching the clean file added",
       [](Folders& f, const std::string&) {
         f.rules.write("two.yar", RuleFixtures::ruleMatching("R2", kCleanText));
       },
       ScanStatus::INFECTED},
      {"hash list naming the clean file added",
       [](Folders& f, const std::string&) {
         f.rules.write("list.hdb", platform::Sha256::ofText(kCleanText) + ":17:Hash.Clean\n");
       },
       ScanStatus::INFECTED},
      {"allow list changed",
       [](Folders& f, const std::string&) {
         std::ofstream(f.allow + "/local.conf") << "rule R9\n";
       },
       ScanStatus::CLEAN},
      {"exclusion added",
       [](Folders& f, const std::string&) {
         ExclusionsManager list(f.exclusionsFile());
         ASSERT_TRUE(list.initialize());
         ASSERT_TRUE(list.addExclusion(f.data + "/elsewhere", "test"));
       },
       ScanStatus::CLEAN},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    TempDir temp;
    Folders folders(temp.path());
    const std::string clean = temp.write("samples/clean.txt", kCleanText);
    letTimesSettle();
    {
      ServiceRun first(folders);
      EXPECT_EQ(first.scan(clean).status, ScanStatus::CLEAN);
    }
    change.apply(folders, clean);
    ReadCounter counter(folders.samples);
    ServiceRun second(folders);
    EXPECT_EQ(second.restored, 0u);
    EXPECT_EQ(second.scan(clean).status, change.cleanFileNow);
    EXPECT_GT(counter.reads(), 0);
  }
}

TEST_F(PersistentVerdictsTest, UnreadableFilesAreIgnoredAndReplaced) {
  const std::string clean = sample("clean.txt", kCleanText);
  letTimesSettle();
  { ServiceRun(folders).scan(clean); }
  const std::string valid = testing::readFile(folders.verdicts());
  ASSERT_GT(valid.size(), 100u);
  std::string otherVersion = valid;
  otherVersion[8] = 2;
  std::string flipped = valid;
  flipped[valid.size() / 2] ^= 0x01;
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {"garbage", "not a verdict file, only words\n"},
      {"empty", ""},
      {"truncated", valid.substr(0, valid.size() / 2)},
      {"checksum cut off", valid.substr(0, valid.size() - 1)},
      {"other format version", otherVersion},
      {"one byte flipped", flipped},
  };
  for (const auto& [name, bytes] : damaged) {
    SCOPED_TRACE(name);
    overwrite(folders.verdicts(), bytes);
    {
      ServiceRun run(folders);
      EXPECT_EQ(run.restored, 0u);
      EXPECT_NE(run.attachConsole.err.find("[WARN] Se ignora el archivo de veredictos " +
                                           folders.verdicts()),
                std::string::npos)
          << run.attachConsole.err;
      EXPECT_EQ(run.scan(clean).status, ScanStatus::CLEAN);
    }
    // The run wrote a whole file again.
    EXPECT_EQ(ServiceRun(folders).restored, 1u);
  }
}

TEST_F(PersistentVerdictsTest, FileChangedWithItsTimesPutBackIsJudgedAgain) {
  const std::string path = sample("doc.txt", kCleanText);
  const std::int64_t old = 1'600'000'000;
  setModificationTime(path, old);
  letTimesSettle();
  { EXPECT_EQ(ServiceRun(folders).scan(path).status, ScanStatus::CLEAN); }
  const fs::file_time_type modified = fs::last_write_time(path);
  overwrite(path, kMarker);
  setModificationTime(path, old);
  ASSERT_EQ(fs::file_size(path), kCleanText.size());
  ASSERT_EQ(fs::last_write_time(path), modified);

  ServiceRun second(folders);
  EXPECT_EQ(second.restored, 1u);
  EXPECT_EQ(describe(second.scan(path)), path + " | INFECTED | R1");
}

// A verdict names its file system by the id the file system reports, not by the device number,
// which another file system may get after a reboot or a remount.
TEST_F(PersistentVerdictsTest, VerdictOfAnotherFileSystemIsNotServed) {
  const std::string path = sample("doc.txt", kCleanText);
  letTimesSettle();
  { ServiceRun(folders).scan(path); }
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  const std::optional<std::uint64_t> realId =
      platform::FileSystemIds::mounted().idOf(status.st_dev);
  ASSERT_TRUE(realId) << "the temporary directory's file system reports no id";

  // The same device number, now holding a file system with another id.
  const std::uint64_t device = status.st_dev;
  ServiceRun other(folders, [device, id = *realId] {
    platform::FileSystemIds ids;
    ids.add(device, id ^ 0x1);
    return ids;
  });
  EXPECT_EQ(other.restored, 0u);
  ReadCounter counter(folders.samples);
  EXPECT_EQ(other.scan(path).status, ScanStatus::CLEAN);
  EXPECT_GT(counter.reads(), 0);
}

// The real thing: a tmpfs mounted again on the same directory gets the same device number and
// hands out the same inode numbers, but another id.
TEST_F(PersistentVerdictsTest, RemountedFileSystemStartsAfresh) {
  const std::string mountPoint = folders.samples + "/mnt";
  const std::string path = mountPoint + "/doc.txt";
  struct stat first {};
  {
    TmpfsMount mount(mountPoint);
    if (!mount.mounted()) GTEST_SKIP() << "tmpfs cannot be mounted here: " << mount.error();
    overwrite(path, kCleanText);
    ASSERT_EQ(::stat(path.c_str(), &first), 0);
    letTimesSettle();
    ServiceRun run(folders);
    EXPECT_EQ(run.scan(path).status, ScanStatus::CLEAN);
    EXPECT_EQ(run.scanner->cachedVerdicts(), 1u);
  }
  TmpfsMount again(mountPoint);
  ASSERT_TRUE(again.mounted()) << again.error();
  overwrite(path, kMarker);
  struct stat second {};
  ASSERT_EQ(::stat(path.c_str(), &second), 0);
  ServiceRun run(folders);
  EXPECT_EQ(run.restored, 0u);
  EXPECT_EQ(run.scan(path).status, ScanStatus::INFECTED);
  if (second.st_dev == first.st_dev && second.st_ino == first.st_ino) {
    SUCCEED() << "same device and inode numbers, told apart by the file system id";
  }
}

TEST_F(PersistentVerdictsTest, RulesChangedWhileTheEngineLoadedAreNeverBacked) {
  const std::string clean = sample("clean.txt", kCleanText);
  letTimesSettle();
  { ServiceRun(folders).scan(clean); }
  const std::string before = testing::readFile(folders.verdicts());

  // Read before the load, as the service does; the rules change before the check after it.
  const ContentFingerprint content =
      ContentFingerprint::ofEngineFolders(folders.rules.str(), {}, folders.allow, true, true);
  folders.rules.write("two.yar", RuleFixtures::ruleMatching("R2", kCleanText));
  VerdictCache cache;
  PersistentVerdicts store(folders.verdicts());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(store.attach(cache, content, nullptr), 0u);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("[WARN] Las reglas cambiaron"),
            std::string::npos);
  EXPECT_EQ(cache.size(), 0u);
  platform::FileStatus status;
  status.device = 1;
  cache.store("/x", status, 0, {});
  store.detach();
  EXPECT_EQ(testing::readFile(folders.verdicts()), before) << "nothing is written for it";
}

TEST(VerdictCacheRestoreTest, RestoredVerdictsStayWithinTheBoundsAndBehindNewerOnes) {
  VerdictCache cache(3);
  platform::FileStatus status;
  status.device = 7;
  cache.store("/kept", status, 5, {});
  std::vector<VerdictCache::Kept> restored;
  for (const char* path : {"/kept", "/r1", "/r2", "/r3"}) {
    restored.push_back({path, status, {ScanResult(path, ScanStatus::INFECTED, "R", 0, ""), {}}});
  }
  cache.restore(restored, 5);
  const VerdictCache::Contents contents = cache.contents();
  EXPECT_EQ(contents.generation, 5u);
  std::vector<std::string> paths;
  for (const VerdictCache::Kept& kept : contents.entries) paths.push_back(kept.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"/kept", "/r1", "/r2"}));
  EXPECT_EQ(contents.entries[0].verdict.result.status, ScanStatus::CLEAN)
      << "a verdict kept already is not replaced";
}

TEST(VerdictFileTest, KeepsEveryPartOfAVerdict) {
  VerdictFile::Contents contents;
  contents.content = std::string(64, 'a');
  contents.exclusions = std::string(64, 'b');
  VerdictFile::Entry entry;
  entry.path = "/home/u/file with spaces ñ.exe";
  entry.fileSystem = 0xFEDCBA9876543210ull;
  entry.inode = 42;
  entry.size = 1234;
  entry.modifiedNs = 1'700'000'000'123'456'789;
  entry.changedNs = -5;
  entry.verdict.result = {entry.path, ScanStatus::INFECTED, "A, B", 0, ""};
  entry.verdict.result.peAnalyzed = true;
  entry.verdict.result.pe.isPE = true;
  entry.verdict.result.pe.is32Bit = false;
  entry.verdict.result.pe.packer = "UPX";
  entry.verdict.result.pe.entropy = 7.25;
  entry.verdict.result.pe.sections.push_back({".text", 10, 20, 6.5, true, false, true});
  entry.verdict.result.pe.suspiciousImports = {"VirtualAlloc"};
  entry.verdict.result.pe.indicators = {"packed", "entropy"};
  entry.verdict.result.pe.riskLevel = 3;
  entry.verdict.result.pe.score = 77;
  entry.verdict.console = {{false, "[INFO] line\n"}, {true, "[WARN] other\n"}};
  contents.entries = {entry, entry};
  contents.entries[1].path = "/second";

  std::string problem;
  const std::optional<VerdictFile::Contents> read =
      VerdictFile::decode(VerdictFile::encode(contents), &problem);
  ASSERT_TRUE(read) << problem;
  EXPECT_EQ(read->content, contents.content);
  EXPECT_EQ(read->exclusions, contents.exclusions);
  ASSERT_EQ(read->entries.size(), 2u);
  const VerdictFile::Entry& got = read->entries[0];
  EXPECT_EQ(got.path, entry.path);
  EXPECT_EQ(got.fileSystem, entry.fileSystem);
  EXPECT_EQ(got.inode, entry.inode);
  EXPECT_EQ(got.size, entry.size);
  EXPECT_EQ(got.modifiedNs, entry.modifiedNs);
  EXPECT_EQ(got.changedNs, entry.changedNs);
  const ScanResult& result = got.verdict.result;
  EXPECT_EQ(describe(result), describe(entry.verdict.result));
  EXPECT_TRUE(result.peAnalyzed);
  EXPECT_EQ(result.pe.packer, "UPX");
  EXPECT_FALSE(result.pe.is32Bit);
  EXPECT_DOUBLE_EQ(result.pe.entropy, 7.25);
  ASSERT_EQ(result.pe.sections.size(), 1u);
  EXPECT_EQ(result.pe.sections[0].name, ".text");
  EXPECT_TRUE(result.pe.sections[0].sizeMismatch);
  EXPECT_EQ(result.pe.suspiciousImports, entry.verdict.result.pe.suspiciousImports);
  EXPECT_EQ(result.pe.indicators, entry.verdict.result.pe.indicators);
  EXPECT_EQ(result.pe.score, 77);
  ASSERT_EQ(got.verdict.console.size(), 2u);
  EXPECT_TRUE(got.verdict.console[1].error);
  EXPECT_EQ(got.verdict.console[1].text, "[WARN] other\n");
  EXPECT_EQ(read->entries[1].path, "/second");
}

TEST(FileSystemIdsTest, MountTableNamesTheLocalFileSystemsAndLeavesAmbiguityOut) {
  TempDir temp;
  struct stat status {};
  ASSERT_EQ(::stat(temp.str().c_str(), &status), 0);
  const platform::FileSystemIds mounted = platform::FileSystemIds::mounted();
  const std::optional<std::uint64_t> id = mounted.idOf(status.st_dev);
  if (!id) GTEST_SKIP() << "the temporary directory is not on a local file system with an id";
  EXPECT_EQ(mounted.deviceOf(*id), static_cast<std::uint64_t>(status.st_dev));

  platform::FileSystemIds ids;
  ids.add(1, 100);
  ids.add(2, 200);
  ids.add(3, 200);
  ids.add(4, 0);
  EXPECT_EQ(ids.idOf(1), 100u);
  EXPECT_EQ(ids.deviceOf(100), 1u);
  EXPECT_FALSE(ids.deviceOf(200));
  EXPECT_FALSE(ids.idOf(2));
  EXPECT_FALSE(ids.idOf(3));
  EXPECT_FALSE(ids.idOf(4));
}

}  // namespace
}  // namespace norvid
