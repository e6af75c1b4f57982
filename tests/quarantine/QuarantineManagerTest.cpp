#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <stdexcept>

#include "quarantine/QuarantineManager.hpp"
#include "tests/support/EventLogCapture.hpp"
#include "tests/support/QuarantineStoreFixture.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::EventLogCapture;
using testing::QuarantineStoreFixture;
using testing::readFile;

const std::string kKey(QuarantineManager::kQuarantineKey);
constexpr long long kNow = 1733489000;

std::string coded(const std::string& plain) {
  std::string result = plain;
  for (std::size_t i = 0; i < result.size(); ++i) result[i] ^= kKey[i % kKey.size()];
  return result;
}

// Content that differs at every offset, so a key applied at the wrong position shows.
std::string patterned(std::size_t size) {
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return content;
}

unsigned modeOf(const std::string& path) {
  return static_cast<unsigned>(fs::status(path).permissions()) & 07777;
}

struct stat statOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info;
}

bool isQuarantineId(const std::string& id) {
  static const std::regex form("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
  return std::regex_match(id, form);
}

class QuarantineManagerTest : public ::testing::Test {
 protected:
  std::string quarantine(const std::string& path, const std::string& threat = "Trojan_Generic") {
    QuarantineManager manager(store.storeDir(), store.clock);
    return manager.quarantineFile(path, threat, "YARA");
  }

  QuarantineStoreFixture store;
};

TEST(QuarantineCodingTest, CodesEachByteWithTheKeyByteAtItsOffsetAndDecodesBack) {
  testing::TempDir dir;
  for (std::size_t size : {std::size_t{0}, std::size_t{29}, std::size_t{3 * 65536 + 17}}) {
    SCOPED_TRACE(size);
    std::string plain = patterned(size);
    std::string source = dir.write("plain.bin", plain);
    std::string once = (dir.path() / "once.bin").string();
    std::string twice = (dir.path() / "twice.bin").string();

    ASSERT_TRUE(QuarantineManager::encryptFile(source, once, kKey));
    std::string result = readFile(once);
    ASSERT_EQ(result, coded(plain));
    if (size > 28) {
      EXPECT_EQ(result[28], static_cast<char>(plain[28] ^ kKey[0]));
    }
    ASSERT_TRUE(QuarantineManager::encryptFile(once, twice, kKey));
    EXPECT_EQ(readFile(twice), plain);
  }
}

TEST(QuarantineCodingTest, RefusesAMissingSourceOrAnEmptyKeyAndLeavesTheDestination) {
  testing::TempDir dir;
  std::string source = dir.write("plain.bin", "abc");
  std::string dest = dir.write("dest.bin", "keep");
  EXPECT_FALSE(QuarantineManager::encryptFile((dir.path() / "none").string(), dest, kKey));
  EXPECT_FALSE(QuarantineManager::encryptFile(source, dest, ""));
  EXPECT_EQ(readFile(dest), "keep");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

TEST(QuarantineHashTest, GivesTheSha256OfKnownContent) {
  testing::TempDir dir;
  struct Case {
    std::string content;
    std::string digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"test", "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QuarantineManager::calculateSHA256(dir.write("f", c.content)), c.digest);
  }
  EXPECT_EQ(QuarantineManager::calculateSHA256((dir.path() / "missing").string()), "");
}

TEST_F(QuarantineManagerTest, QuarantinesAFileIntoACodedCopyWithItsRecord) {
  std::string path = store.writeFile("tool.exe", "test");
  std::string id = quarantine(path);

  ASSERT_TRUE(isQuarantineId(id)) << id;
  EXPECT_FALSE(fs::exists(path));
  std::string qtn = store.storeDir() + "/" + id + ".qtn";
  EXPECT_EQ(readFile(qtn), coded("test"));
  EXPECT_EQ(store.metadataText(),
            "{\n"
            "  \"entries\": [\n"
            "    {\n"
            "      \"file_hash\": "
            "\"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\",\n"
            "      \"file_size\": 4,\n"
            "      \"id\": \"" +
                id +
                "\",\n"
                "      \"original_path\": \"" +
                path +
                "\",\n"
                "      \"quarantine_date\": 1733489000,\n"
                "      \"quarantine_path\": \"" +
                qtn +
                "\",\n"
                "      \"scan_engine\": \"YARA\",\n"
                "      \"threat_name\": \"Trojan_Generic\"\n"
                "    }\n"
                "  ],\n"
                "  \"version\": \"1.0\"\n"
                "}");
  EXPECT_EQ(modeOf(store.storeDir()), 0700u);
  EXPECT_EQ(modeOf(qtn), 0600u);
  EXPECT_EQ(modeOf(store.metadataPath()), 0600u);

  QuarantineManager reopened(store.storeDir(), store.clock);
  ASSERT_EQ(reopened.getCount(), 1u);
  EXPECT_EQ(reopened.getEntries()[0].threat_name, "Trojan_Generic");
}

TEST_F(QuarantineManagerTest, QuarantinesAnEmptyFileAndRecordsTheResolvedPath) {
  fs::create_directories(store.filesDir() + "/real");
  fs::create_directory_symlink(store.filesDir() + "/real", store.filesDir() + "/link");
  store.writeFile("real/empty.bin", "");
  std::string id = quarantine(store.filesDir() + "/link/../link/empty.bin");
  ASSERT_FALSE(id.empty());

  QuarantineManager manager(store.storeDir(), store.clock);
  QuarantineEntry entry = manager.getEntries().at(0);
  EXPECT_EQ(entry.original_path, store.filesDir() + "/real/empty.bin");
  EXPECT_EQ(entry.file_size, 0u);
  EXPECT_EQ(entry.file_hash, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(fs::file_size(entry.quarantine_path), 0u);
}

TEST_F(QuarantineManagerTest, RefusesWhatIsNotAnExistingRegularFileAndTouchesNothing) {
  struct Case {
    const char* name;
    std::function<std::string()> make;
  };
  const Case cases[] = {
      {"missing", [&] { return store.filesDir() + "/missing"; }},
      {"directory", [&] { return store.filesDir(); }},
      {"symbolic link",
       [&] {
         std::string target = store.writeFile("target", "payload");
         fs::create_symlink(target, store.filesDir() + "/link");
         return store.filesDir() + "/link";
       }},
      {"fifo",
       [&] {
         std::string path = store.filesDir() + "/fifo";
         EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
         return path;
       }},
      // A pseudo-file whose content does not match the size it reports: the copy is incomplete.
      {"size mismatch", [] { return std::string("/proc/self/status"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = c.make();
    EXPECT_EQ(quarantine(path), "");
    EXPECT_TRUE(fs::exists(fs::symlink_status(path)) || std::string(c.name) == "missing");
  }
  EXPECT_TRUE(fs::exists(store.filesDir() + "/target"));
  QuarantineManager manager(store.storeDir(), store.clock);
  EXPECT_EQ(manager.getCount(), 0u);
  EXPECT_EQ(std::distance(fs::directory_iterator(store.storeDir()), fs::directory_iterator()), 1)
      << "only metadata.json is left in the store";
}

TEST_F(QuarantineManagerTest, KeepsTheFileWhenItsRecordCannotBeSaved) {
  // Bytes that are not UTF-8 cannot go into metadata.json.
  std::string path = store.writeFile("bad\xff.exe", "payload");
  ASSERT_TRUE(fs::exists(path));
  std::string goodId = quarantine(store.writeFile("good.exe", "x"));
  std::string before = store.metadataText();

  EXPECT_EQ(quarantine(path), "");
  EXPECT_EQ(readFile(path), "payload");
  EXPECT_EQ(store.metadataText(), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(store.storeDir()), fs::directory_iterator()), 2)
      << "metadata.json and the one good copy";
}

TEST_F(QuarantineManagerTest, RestoresToTheOriginalPathWithTheOriginalOwner) {
  std::string path = store.writeFile("doc.txt", patterned(70000));
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  std::string id = quarantine(path);
  ASSERT_FALSE(id.empty());
  {
    QuarantineManager manager(store.storeDir(), store.clock);
    ASSERT_TRUE(manager.restoreFile(id, ""));
    EXPECT_EQ(manager.getCount(), 0u);
  }
  EXPECT_EQ(readFile(path), patterned(70000));
  struct stat info = statOf(path);
  EXPECT_EQ(info.st_uid, 65534u);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_FALSE(fs::exists(store.storeDir() + "/" + id + ".qtn"));
  EXPECT_EQ(store.metadata()["entries"], nlohmann::json::array());
}

TEST_F(QuarantineManagerTest, RestoresBesideAnOccupiedPathWithoutOverwritingAnything) {
  std::string path = store.filesDir() + "/report.pdf";
  store.writeFile("report.pdf", "first");
  std::string first = quarantine(path);
  store.writeFile("report.pdf", "second");
  std::string second = quarantine(path);
  fs::create_symlink(store.filesDir() + "/elsewhere", path);  // dangling: still occupies the name
  std::string stamp = path + ".restored_" + std::to_string(kNow);

  QuarantineManager manager(store.storeDir(), store.clock);
  ASSERT_TRUE(manager.restoreFile(first, ""));
  ASSERT_TRUE(manager.restoreFile(second, ""));
  EXPECT_EQ(readFile(stamp), "first");
  EXPECT_EQ(readFile(stamp + "_1"), "second");
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_FALSE(fs::exists(store.filesDir() + "/elsewhere"));
}

TEST_F(QuarantineManagerTest, RefusesARestoreThatWouldNotLandExactlyAtItsPath) {
  fs::create_directories(store.filesDir() + "/dir");
  std::string path = store.writeFile("dir/a.sh", "payload");
  std::string id = quarantine(path);
  ASSERT_FALSE(id.empty());

  testing::TempDir elsewhere;
  QuarantineManager manager(store.storeDir(), store.clock);
  // The directory has gone, and then has been replaced by a link to another place.
  fs::remove(store.filesDir() + "/dir");
  EXPECT_FALSE(manager.restoreFile(id, ""));
  fs::create_directory_symlink(elsewhere.path(), store.filesDir() + "/dir");
  EXPECT_FALSE(manager.restoreFile(id, ""));

  EXPECT_TRUE(fs::is_empty(elsewhere.path()));
  EXPECT_EQ(manager.getCount(), 1u);
  EXPECT_TRUE(fs::exists(store.storeDir() + "/" + id + ".qtn"));
}

TEST_F(QuarantineManagerTest, DeletesARecordAndItsCopyEvenWhenTheCopyIsGone) {
  std::string kept = quarantine(store.writeFile("a", "a"));
  std::string gone = quarantine(store.writeFile("b", "b"));
  std::string vanished = quarantine(store.writeFile("c", "c"));
  fs::remove(store.storeDir() + "/" + vanished + ".qtn");

  QuarantineManager manager(store.storeDir(), store.clock);
  EXPECT_TRUE(manager.deleteFile(gone));
  EXPECT_TRUE(manager.deleteFile(vanished));
  EXPECT_FALSE(fs::exists(store.storeDir() + "/" + gone + ".qtn"));
  ASSERT_EQ(manager.getCount(), 1u);
  EXPECT_EQ(manager.getEntries()[0].id, kept);
  EXPECT_EQ(store.metadata()["entries"].size(), 1u);
}

TEST_F(QuarantineManagerTest, UnknownOrCaseChangedIdsChangeNothing) {
  std::string id = quarantine(store.writeFile("a", "a"));
  std::string upper = id;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_NE(upper, id);
  std::string before = store.metadataText();

  QuarantineManager manager(store.storeDir(), store.clock);
  for (const std::string& wrong : {upper, std::string(), std::string("nope")}) {
    EXPECT_FALSE(manager.restoreFile(wrong, ""));
    EXPECT_FALSE(manager.deleteFile(wrong));
  }
  EXPECT_EQ(manager.getCount(), 1u);
  EXPECT_EQ(store.metadataText(), before);
}

TEST_F(QuarantineManagerTest, AMissingMetadataFileIsAnEmptyStoreWrittenOnDestruction) {
  { QuarantineManager manager(store.storeDir(), store.clock); }
  EXPECT_EQ(store.metadataText(), "{\n  \"entries\": [],\n  \"version\": \"1.0\"\n}");
  QuarantineManager manager(store.storeDir(), store.clock);
  EXPECT_TRUE(manager.metadataLoaded());
  EXPECT_EQ(manager.getCount(), 0u);
}

TEST_F(QuarantineManagerTest, ReadsRecordsAsStoredAndWritesThemBackComplete) {
  fs::create_directories(store.storeDir());
  std::ofstream(store.metadataPath()) << R"({"version": "0.9", "entries": [
      {"id": "x1", "original_path": "/a", "quarantine_path": "/q/x1.qtn", "threat_name": "T",
       "file_hash": "unknown", "file_size": 4.9, "quarantine_date": 1733489000.7}]})";
  {
    QuarantineManager manager(store.storeDir(), store.clock);
    ASSERT_EQ(manager.getCount(), 1u);
    QuarantineEntry entry = manager.getEntries()[0];
    EXPECT_EQ(entry.scan_engine, "YARA");
    EXPECT_EQ(entry.file_size, 4u);
    EXPECT_EQ(entry.quarantine_date.time_since_epoch(), std::chrono::seconds(kNow));
    // The next change writes every record back.
    ASSERT_FALSE(manager.quarantineFile(store.writeFile("b", "b"), "T", "YARA").empty());
  }
  nlohmann::json written = store.metadata()["entries"][0];
  EXPECT_EQ(written["scan_engine"], "YARA");
  EXPECT_EQ(written["quarantine_date"], kNow);
  EXPECT_EQ(store.metadata()["version"], "1.0");
}

TEST_F(QuarantineManagerTest, KeepsOnlyWholeSecondsOfTheQuarantineDate) {
  store.clock.advance(std::chrono::milliseconds(1700));
  quarantine(store.writeFile("a", "a"));
  QuarantineManager manager(store.storeDir(), store.clock);
  EXPECT_EQ(manager.getEntries().at(0).quarantine_date.time_since_epoch(),
            std::chrono::seconds(kNow + 1));
}

TEST_F(QuarantineManagerTest, AnUnreadableMetadataFileIsKeptAsItIsAndReportedOnce) {
  const char* contents[] = {
      "",
      "{\"entries\": [",
      "[]",
      "{\"entries\": {\"id\": \"x\"}}",
      R"({"entries": [{"id": "ok", "original_path": "/a", "quarantine_path": "/q", "threat_name":
          "T", "file_hash": "h", "file_size": 1, "quarantine_date": 1}, {"id": 7}]})",
      R"({"entries": [{"id": "x", "original_path": "/a", "quarantine_path": "/q", "threat_name":
          "T", "file_hash": "h", "quarantine_date": 1}]})",
      R"({"entries": [{"id": "x", "original_path": "/a", "quarantine_path": "/q", "threat_name":
          "T", "file_hash": "h", "file_size": -1, "quarantine_date": 1}]})",
  };
  for (const char* content : contents) {
    SCOPED_TRACE(content);
    QuarantineStoreFixture local;
    fs::create_directories(local.storeDir());
    std::ofstream(local.metadataPath()) << content;
    std::string victim = local.writeFile("victim", "v");
    std::size_t mark = EventLogCapture::instance().mark();
    for (int round = 0; round < 2; ++round) {
      QuarantineManager manager(local.storeDir(), local.clock);
      EXPECT_FALSE(manager.metadataLoaded());
      EXPECT_FALSE(manager.loadError().empty());
      EXPECT_EQ(manager.getCount(), 0u);
      EXPECT_EQ(manager.quarantineFile(victim, "T", "YARA"), "");
      EXPECT_FALSE(manager.deleteFile("ok"));
      EXPECT_FALSE(manager.saveMetadata());
    }
    EXPECT_EQ(readFile(local.metadataPath()), content);
    EXPECT_EQ(readFile(victim), "v");
    std::vector<std::string> lines = EventLogCapture::instance().messagesSince(mark);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("[ERR] Cuarentena: " + local.metadataPath(), 0), 0u) << lines[0];
  }
}

// status counts the store without its lock; the count must be what a load of the same file gives,
// so a store that refuses to load counts 0 whatever the length of its list. The quick count is
// taken first, before any load has told the process what the file holds.
TEST_F(QuarantineManagerTest, TheQuickCountGivesWhatALoadGives) {
  const std::string good =
      R"({"id": "ok", "original_path": "/a", "quarantine_path": "/q", "threat_name": "T",
          "file_hash": "h", "file_size": 1, "quarantine_date": 1})";
  const struct {
    const char* name;
    std::string content;
    std::size_t count;
  } cases[] = {
      {"two records", R"({"entries": [)" + good + ", " + good + "]}", 2},
      {"no list", R"({"version": "1.0"})", 0},
      {"a null list", R"({"entries": null})", 0},
      {"a record of the wrong shape last", R"({"entries": [)" + good + ", " + good + R"(, {"id": 7}]})",
       0},
      {"a record without its size", R"({"entries": [)" + good +
                                        R"(, {"id": "x", "original_path": "/a", "quarantine_path":
          "/q", "threat_name": "T", "file_hash": "h", "quarantine_date": 1}]})",
       0},
      {"a record that is not an object", R"({"entries": [)" + good + R"(, "x"]})", 0},
      {"a list that is not an array", R"({"entries": {"id": "x"}})", 0},
      {"a document that is not an object", "[]", 0},
      {"not JSON", R"({"entries": [)", 0},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    QuarantineStoreFixture local;
    fs::create_directories(local.storeDir());
    std::ofstream(local.metadataPath()) << test.content;
    EXPECT_EQ(QuarantineManager::recordCount(local.storeDir()), test.count);
    QuarantineManager manager(local.storeDir(), local.clock);
    EXPECT_EQ(manager.getCount(), test.count);
    EXPECT_EQ(QuarantineManager::recordCount(local.storeDir()), test.count);
  }
}

// Listing and counting are what status and list_quarantine do on every request; they must not
// rewrite (and sync) a file that already holds what they would write.
TEST_F(QuarantineManagerTest, AnInstanceThatChangesNothingLeavesTheFileInPlace) {
  ASSERT_FALSE(quarantine(store.writeFile("a", "a")).empty());
  const std::string before = store.metadataText();
  const ino_t inode = statOf(store.metadataPath()).st_ino;
  {
    QuarantineManager manager(store.storeDir(), store.clock);
    EXPECT_EQ(manager.getCount(), 1u);
    EXPECT_TRUE(manager.saveMetadata());
  }
  EXPECT_EQ(statOf(store.metadataPath()).st_ino, inode);
  EXPECT_EQ(store.metadataText(), before);
}

// Instances may overlap: each change re-reads the file under the store lock, so none undoes
// another's, whatever order the instances are built and dropped in.
TEST_F(QuarantineManagerTest, OverlappingInstancesKeepEachOthersChanges) {
  const std::string kept = quarantine(store.writeFile("kept", "k"));
  const std::string dropped = quarantine(store.writeFile("dropped", "d"));
  auto first = std::make_unique<QuarantineManager>(store.storeDir(), store.clock);
  auto second = std::make_unique<QuarantineManager>(store.storeDir(), store.clock);
  const std::string added = first->quarantineFile(store.writeFile("new", "n"), "T", "YARA");
  ASSERT_FALSE(added.empty());
  EXPECT_TRUE(second->deleteFile(dropped));
  EXPECT_EQ(second->getCount(), 2u) << "the second instance sees the first one's record";
  first.reset();
  second.reset();
  QuarantineManager reopened(store.storeDir(), store.clock);
  std::vector<std::string> ids;
  for (const QuarantineEntry& entry : reopened.getEntries()) ids.push_back(entry.id);
  EXPECT_EQ(ids, (std::vector<std::string>{kept, added}));
  EXPECT_EQ(QuarantineManager::recordCount(store.storeDir()), 2u);
}

// What a crash can leave behind, and what the next start makes of it: the file ends in exactly one
// place, and no journal or temporary file survives.
TEST_F(QuarantineManagerTest, RecoveryFinishesOrUndoesWhatACrashInterrupted) {
  enum class Expect { InStore, AtOriginal, Gone };
  struct Case {
    const char* name;
    // Leaves the store as a crash at some step of an operation on `id` would.
    std::function<void(QuarantineStoreFixture&, const std::string& path, const std::string& id)>
        crash;
    Expect expect;
  };
  auto journal = [](QuarantineStoreFixture& fixture, const std::string& id, const json& what) {
    std::ofstream(fixture.storeDir() + "/" + id + ".pending") << what.dump();
  };
  const Case cases[] = {
      {"quarantine recorded, original not yet deleted",
       [&](QuarantineStoreFixture& f, const std::string& path, const std::string& id) {
         f.writeFile("victim", "payload");
         journal(f, id, {{"operation", "quarantine"}, {"original", path}});
       },
       Expect::AtOriginal},
      {"quarantine complete, journal not yet removed",
       [&](QuarantineStoreFixture& f, const std::string& path, const std::string& id) {
         journal(f, id, {{"operation", "quarantine"}, {"original", path}});
       },
       Expect::InStore},
      {"restore placed, record not yet dropped",
       [&](QuarantineStoreFixture& f, const std::string& path, const std::string& id) {
         const std::string staged = f.filesDir() + "/.victim.norvid-restore-1234abcd";
         std::ofstream(staged) << "payload";
         fs::create_hard_link(staged, path);
         journal(f, id, {{"operation", "restore"}, {"staged", staged}});
       },
       Expect::AtOriginal},
      {"restore staged, not yet placed",
       [&](QuarantineStoreFixture& f, const std::string&, const std::string& id) {
         const std::string staged = f.filesDir() + "/.victim.norvid-restore-1234abcd";
         std::ofstream(staged) << "pay";
         journal(f, id, {{"operation", "restore"}, {"staged", staged}});
       },
       Expect::InStore},
      {"delete recorded, copy not yet removed",
       [&](QuarantineStoreFixture& f, const std::string&, const std::string& id) {
         std::ofstream(f.metadataPath(), std::ios::trunc) << R"({"entries":[],"version":"1.0"})";
         journal(f, id, {{"operation", "delete"}});
       },
       Expect::Gone},
      {"delete journaled, record not yet dropped",
       [&](QuarantineStoreFixture& f, const std::string&, const std::string& id) {
         journal(f, id, {{"operation", "delete"}});
       },
       Expect::InStore},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QuarantineStoreFixture local;
    const std::string path = local.writeFile("victim", "payload");
    std::string id;
    {
      QuarantineManager manager(local.storeDir(), local.clock);
      id = manager.quarantineFile(path, "T", "YARA");
    }
    ASSERT_FALSE(id.empty());
    c.crash(local, path, id);
    std::ofstream(local.storeDir() + "/" + id + ".qtn.part-00aa11bb") << "half";
    std::ofstream(local.storeDir() + "/.metadata.json.tmp-Ab12Cd") << "{";

    QuarantineManager::recoverStore(local.storeDir());

    QuarantineManager manager(local.storeDir(), local.clock);
    const bool inStore =
        manager.getCount() == 1 && fs::exists(local.storeDir() + "/" + id + ".qtn");
    const bool atOriginal = fs::exists(path);
    EXPECT_EQ(inStore, c.expect == Expect::InStore);
    EXPECT_EQ(atOriginal, c.expect == Expect::AtOriginal);
    if (atOriginal) {
      EXPECT_EQ(readFile(path), "payload");
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(local.storeDir())) {
      left.push_back(entry.path().filename().string());
    }
    std::vector<std::string> wanted{"metadata.json"};
    if (inStore) wanted.push_back(id + ".qtn");
    std::sort(left.begin(), left.end());
    std::sort(wanted.begin(), wanted.end());
    EXPECT_EQ(left, wanted);
    EXPECT_FALSE(fs::exists(local.filesDir() + "/.victim.norvid-restore-1234abcd"));
  }
}

TEST_F(QuarantineManagerTest, AFullStoreRefusesFurtherQuarantinesAndSaysWhy) {
  fs::create_directories(store.storeDir());
  nlohmann::json entries = nlohmann::json::array();
  for (std::size_t i = 0; i < QuarantineManager::kMaxRecords; ++i) {
    entries.push_back({{"id", "r" + std::to_string(i)},
                       {"original_path", "/a"},
                       {"quarantine_path", "/q"},
                       {"threat_name", "T"},
                       {"file_hash", "h"},
                       {"file_size", 1},
                       {"quarantine_date", 1}});
  }
  std::ofstream(store.metadataPath()) << nlohmann::json{{"entries", entries}}.dump();
  const std::string path = store.writeFile("one-more", "x");
  QuarantineManager manager(store.storeDir(), store.clock);
  EXPECT_EQ(manager.quarantineFile(path, "T", "YARA"), "");
  EXPECT_NE(manager.failureReason().find("10000"), std::string::npos) << manager.failureReason();
  EXPECT_EQ(readFile(path), "x");
  EXPECT_EQ(QuarantineManager::recordCount(store.storeDir()), QuarantineManager::kMaxRecords);
}

}  // namespace
}  // namespace norvid
