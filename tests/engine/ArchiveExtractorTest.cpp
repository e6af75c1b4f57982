#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ArchiveBombException.hpp"
#include "engine/ArchiveExtractor.hpp"
#include "tests/support/ArchiveFixtures.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using testing::ArchiveFixtures;
using testing::ArchiveFormat;
using testing::ArchiveMember;
using testing::MailAttachment;
using testing::MailEncoding;
using testing::readFile;
using testing::TempDir;
using Paths = std::vector<std::string>;
using namespace std::string_literals;

std::vector<std::string> namesIn(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    names.push_back(entry.path().lexically_relative(directory).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool contains(const std::string& text, const std::string& wanted) {
  return text.find(wanted) != std::string::npos;
}

ArchiveMember memberOf(ArchiveMember::Type type, std::string name, std::string content = "") {
  return {std::move(name), std::move(content), type};
}

// Every test extracts into a private folder, so that it can check that no extraction directory is
// ever left behind.
class ArchiveExtractorTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(extractionDirectories(), 0) << "an av_extract_ directory was left behind";
  }

  ArchiveExtractor inTmp(ArchiveLimits limits = {}) const {
    return ArchiveExtractor(tmp_.str(), limits);
  }

  int extractionDirectories() const {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(tmp_.path())) {
      if (entry.path().filename().string().rfind("av_extract_", 0) == 0) ++count;
    }
    return count;
  }

  std::string archive(ArchiveFormat format, const std::vector<ArchiveMember>& members,
                      const std::string& name = "sample") {
    return ArchiveFixtures::write(
        (work_.path() / (name + "." + ArchiveFixtures::extension(format))).string(), format,
        members);
  }

  std::string archiveBytes(const std::string& bytes, const std::string& name) {
    return work_.write(name, bytes);
  }

  // Extracts the way the scanner does, into a fresh temporary directory that is removed again.
  template <typename Check>
  void extractInTemp(const ArchiveExtractor& extractor, const std::string& archivePath,
                     Check check) {
    const std::string directory = extractor.createTempDirectory();
    Paths files;
    try {
      files = extractor.extract(archivePath, directory);
    } catch (...) {
      EXPECT_TRUE(namesIn(directory).empty()) << "a failed extraction left files behind";
      extractor.cleanup(directory);
      throw;
    }
    check(directory, files);
    extractor.cleanup(directory);
  }

  TempDir tmp_;
  TempDir work_;
};

TEST_F(ArchiveExtractorTest, DetectsFormatByFirstBytes) {
  struct Case {
    std::string name;
    std::string bytes;
    std::string format;
  };
  const std::vector<Case> cases = {
      {"short.bin", "PK", "zip"},
      {"real.zip", ArchiveFixtures::build(ArchiveFormat::Zip, {ArchiveMember::file("a", "b")}),
       "zip"},
      {"archive.rar", "Rar!\x1a\x07", "rar"},
      {"archive.7z", "7z\xBC\xAF\x27\x1C", "7z"},
      {"archive.gz", "\x1F\x8B\x08", "gzip"},
      {"no-extension", "\x1F\x8B", "gzip"},
      {"data.tar", "plain text inside", "tar"},
      {"empty.tar", "", "tar"},
      {"data.TAR", "plain text inside", "unknown"},
      {"data.tar.txt", "plain text inside", "unknown"},
      {"one.bin", "P", "unknown"},
      {"rar-prefix.bin", "Rar", "unknown"},
      {"seven-prefix.bin", "7z\xBC", "unknown"},
      {"empty.bin", "", "unknown"},
  };
  const ArchiveExtractor extractor = inTmp();
  for (const Case& c : cases) {
    const std::string path = work_.write(c.name, c.bytes);
    EXPECT_EQ(extractor.detectFormat(path), c.format) << c.name;
    EXPECT_EQ(extractor.isArchive(path), c.format != "unknown") << c.name;
  }
  const std::string mailHeader = "From: a@example.com\nTo: b@example.com\nSubject: x\n\nbody\n";
  const std::vector<Case> added = {
      {"a.bz2", "BZh91AY&SY", "bzip2"},
      {"zero-level.bz2", "BZh0", "unknown"},
      {"a.xz", "\xFD\x37zXZ\0\0"s, "xz"},
      {"a.lzma", "\x5D\0\0\x80\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s, "lzma"},
      {"bracket.txt", "]\0\0\x81\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"s, "unknown"},
      {"a.zst", "\x28\xB5\x2F\xFD\0"s, "zstd"},
      {"a.lz4", "\x04\x22\x4D\x18"s, "lz4"},
      {"legacy.lz4", "\x02\x21\x4C\x18"s, "lz4"},
      {"a.lz", "LZIP\x01", "lzip"},
      {"a.Z", "\x1F\x9D\x90", "compress"},
      {"no-tar-name", std::string(257, 'x') + "ustar\x00\x30\x30"s, "tar"},
      {"newc", "070701", "cpio"},
      {"odc", "070707", "cpio"},
      {"crc", "070702", "cpio"},
      {"binary-le", "\xC7\x71", "cpio"},
      {"binary-be", "\x71\xC7", "cpio"},
      {"first.iso", std::string(0x8001, '\0') + "CD001", "iso9660"},
      {"second.iso", std::string(0x8801, '\0') + "CD001", "iso9660"},
      {"third.iso", std::string(0x9001, '\0') + "CD001", "iso9660"},
      {"misplaced.iso", std::string(0x8000, '\0') + "CD001", "unknown"},
      {"a.cab", "MSCF\0\0\0\0"s, "cab"},
      {"a.deb", "!<arch>\ndebian-binary", "ar"},
      {"a.xar", "xar!\0\x1c"s, "xar"},
      {"a.lzh", "\x20\x00-lh5-"s + std::string(14, '\0'), "lha"},
      {"a.rpm", "\xED\xAB\xEE\xDB"s, "rpm"},
      {"a.warc", "WARC/1.0\r\n", "warc"},
      {"a.doc", "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"s, "ole2"},
      {"a.chm", "ITSF\x03\0\0\0"s, "chm"},
      {"a.ex_", "SZDD\x88\xF0\x27\x33\x41"s, "szdd"},
      {"a.kwj", "KWAJ\x88\xF0\x27\xD1"s, "kwaj"},
      {"message.eml", mailHeader, "mail"},
      {"crlf.eml", "Received: by x\r\nDate: today\r\n folded\r\n\r\nbody", "mail"},
      {"inbox", "From a@example.com Mon Jan  1 00:00:00 2024\n" + mailHeader, "mbox"},
      {"one-header.txt", "Subject: only one\n\nbody\n", "unknown"},
      {"yaml.txt", "name: x\nversion: 2\n\n", "unknown"},
      {"prose.txt", "From here on: nothing\nTo: be\n", "unknown"},
  };
  for (const Case& c : added) {
    const std::string path = work_.write(c.name, c.bytes);
    EXPECT_EQ(extractor.detectFormat(path), c.format) << c.name;
    const auto* head = reinterpret_cast<const unsigned char*>(c.bytes.data());
    EXPECT_EQ(extractor.detectFormat(head, c.bytes.size(), c.name), c.format) << c.name;
  }
  // The cases give exactly the listed format words: a word detectFormat gives is in the list the
  // fuzz targets check against, and every listed word is given by some case.
  std::set<std::string_view> given;
  for (const std::vector<Case>* table : {&cases, &added}) {
    for (const Case& c : *table) {
      EXPECT_TRUE(ArchiveExtractor::isFormatWord(c.format)) << c.format << " is not listed";
      given.insert(c.format);
    }
  }
  for (const std::string_view word : ArchiveExtractor::kFormatWords) {
    EXPECT_TRUE(given.contains(word)) << "no case gives " << word;
  }
  static_assert(ArchiveExtractor::kSniffBytes >= 0x9001 + 5);
  fs::create_directory(work_.path() / "folder.tar");
  for (const std::string& path :
       {(work_.path() / "missing.zip").string(), (work_.path() / "folder.tar").string()}) {
    EXPECT_EQ(extractor.detectFormat(path), "unknown") << path;
    EXPECT_FALSE(extractor.isArchive(path)) << path;
  }
}

class ArchiveFormatTest : public ArchiveExtractorTest,
                          public ::testing::WithParamInterface<ArchiveFormat> {};

TEST_P(ArchiveFormatTest, ExtractsFilesInArchiveOrder) {
  const std::string path = archive(
      GetParam(),
      {ArchiveMember::file("readme.txt", "hello"), ArchiveMember::directory("docs"),
       ArchiveMember::file("docs/inner/note.txt", "note"), ArchiveMember::file("empty.dat", "")});
  const ArchiveExtractor extractor = inTmp();
  ::testing::internal::CaptureStdout();
  extractInTemp(extractor, path, [&](const std::string& dir, const Paths& files) {
    EXPECT_EQ(files,
              (Paths{dir + "/readme.txt", dir + "/docs/inner/note.txt", dir + "/empty.dat"}));
    EXPECT_EQ(readFile(dir + "/readme.txt"), "hello");
    EXPECT_EQ(readFile(dir + "/docs/inner/note.txt"), "note");
    EXPECT_TRUE(fs::is_directory(dir + "/docs"));
    // Extracted members are private to the service and never executable.
    EXPECT_EQ(fs::status(dir + "/readme.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
  });
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(out, "[INFO] Extraídos 3 archivos desde: " + path + "\n")) << out;
}

std::string formatName(const ::testing::TestParamInfo<ArchiveFormat>& info) {
  switch (info.param) {
    case ArchiveFormat::Zip:
      return "Zip";
    case ArchiveFormat::StoredZip:
      return "StoredZip";
    case ArchiveFormat::Tar:
      return "Tar";
    case ArchiveFormat::TarGz:
      return "TarGz";
    case ArchiveFormat::SevenZip:
      return "SevenZip";
  }
  return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Formats, ArchiveFormatTest,
                         ::testing::Values(ArchiveFormat::Zip, ArchiveFormat::StoredZip,
                                           ArchiveFormat::Tar, ArchiveFormat::TarGz,
                                           ArchiveFormat::SevenZip),
                         formatName);

TEST_F(ArchiveExtractorTest, NestedFixtureHoldsOneArchivePerLevel) {
  const std::string path = work_.write(
      "outer.zip", ArchiveFixtures::nested(ArchiveFormat::Zip, 3, ArchiveMember::file("x", "y")));
  const ArchiveExtractor extractor = inTmp();
  std::vector<std::string> names;
  std::string current = path;
  for (int level = 0; level < 3; ++level) {
    ASSERT_TRUE(extractor.isArchive(current)) << current;
    const std::string dir = (work_.path() / ("level" + std::to_string(level))).string();
    const Paths files = extractor.extract(current, dir);
    ASSERT_EQ(files.size(), 1u);
    names.push_back(fs::path(files[0]).filename().string());
    current = files[0];
  }
  EXPECT_EQ(names, (std::vector<std::string>{"level2.zip", "level3.zip", "x"}));
  EXPECT_EQ(readFile(current), "y");
}

TEST_F(ArchiveExtractorTest, EntryCountLimit) {
  const ArchiveExtractor extractor = inTmp();
  extractInTemp(extractor, archive(ArchiveFormat::Zip, ArchiveFixtures::numberedFiles(1000)),
                [](const std::string&, const Paths& files) { EXPECT_EQ(files.size(), 1000u); });

  const std::string tooMany = archive(ArchiveFormat::Zip, ArchiveFixtures::numberedFiles(1001));
  try {
    extractInTemp(extractor, tooMany, [](const std::string&, const Paths&) {});
    FAIL() << "1001 entries were accepted";
  } catch (const avwindows::ArchiveBombException& bomb) {
    EXPECT_STREQ(bomb.what(), "Archive exceeds maximum file count: 1000");
  }
}

TEST_F(ArchiveExtractorTest, CompressionRatioBoundary) {
  const ArchiveExtractor extractor = inTmp();
  const std::string atLimit = archiveBytes(ArchiveFixtures::atCompressionRatio(100, 0), "at.tgz");
  extractInTemp(extractor, atLimit,
                [](const std::string&, const Paths& files) { EXPECT_EQ(files.size(), 2u); });

  const std::string above = archiveBytes(ArchiveFixtures::atCompressionRatio(100, 1), "above.tgz");
  try {
    extractInTemp(extractor, above, [](const std::string&, const Paths&) {});
    FAIL() << "ratio above 100 was accepted";
  } catch (const avwindows::ArchiveBombException& bomb) {
    EXPECT_STREQ(bomb.what(), "Possible zip bomb detected. Compression ratio: 100:1");
  }
}

TEST_F(ArchiveExtractorTest, OversizedDeclaredEntryIsSkippedAndNotCounted) {
  // With a ratio limit of 1, counting the skipped entry would make this archive a bomb.
  const ArchiveExtractor extractor = inTmp(ArchiveLimits{3, 1000, 1000, 1.0});
  const std::string path =
      archive(ArchiveFormat::TarGz, {ArchiveMember::file("big.bin", std::string(2000, '\0')),
                                     ArchiveMember::file("small.txt", "small")});
  ::testing::internal::CaptureStderr();
  extractInTemp(extractor, path, [](const std::string& dir, const Paths& files) {
    EXPECT_EQ(files, Paths{dir + "/small.txt"});
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"small.txt"});
  });
  EXPECT_TRUE(contains(::testing::internal::GetCapturedStderr(),
                       "[WARN] Archivo demasiado grande, omitiendo: big.bin (2000 bytes)\n"));
}

// A ZIP whose headers claim a few bytes but whose data expands to far more: the limits hold for
// what is written, and nothing of it stays on disk.
TEST_F(ArchiveExtractorTest, LyingDeclaredSizesCannotPassTheLimits) {
  struct Case {
    const char* name;
    std::uint32_t declared;
    ArchiveLimits limits;
    std::string message;
  };
  const std::string zeros(1 << 20, '\0');
  const std::vector<Case> cases = {
      {"entry size, declared 0", 0, ArchiveLimits{3, 1000, 65536, 1e9},
       "Archive entry exceeds maximum size: zeros.bin (more than 65536 bytes)"},
      {"entry size, declared 10", 10, ArchiveLimits{3, 1000, 65536, 1e9},
       "Archive entry exceeds maximum size: zeros.bin (more than 65536 bytes)"},
      {"ratio, declared 0", 0, ArchiveLimits{}, "Possible zip bomb detected. Compression ratio: "},
  };
  const ArchiveExtractor honest = inTmp();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = archiveBytes(
        ArchiveFixtures::withDeclaredZipSizes(
            ArchiveFixtures::build(ArchiveFormat::Zip, {ArchiveMember::file("zeros.bin", zeros)}),
            c.declared),
        "lying.zip");
    try {
      extractInTemp(inTmp(c.limits), path, [](const std::string&, const Paths&) {});
      ADD_FAILURE() << "the lie was not caught";
    } catch (const avwindows::ArchiveBombException& bomb) {
      EXPECT_TRUE(contains(bomb.what(), c.message)) << bomb.what();
    }
  }
}

TEST_F(ArchiveExtractorTest, UnderstatedSizeWithinLimitsStillWritesAllData) {
  const std::string content(5000, 'q');
  const std::string path = archiveBytes(
      ArchiveFixtures::withDeclaredZipSizes(
          ArchiveFixtures::build(ArchiveFormat::Zip, {ArchiveMember::file("data.txt", content)}),
          0),
      "understated.zip");
  ::testing::internal::CaptureStderr();
  extractInTemp(inTmp(), path, [&](const std::string& dir, const Paths& files) {
    ASSERT_EQ(files, Paths{dir + "/data.txt"});
    EXPECT_EQ(fs::file_size(files[0]), content.size());
    EXPECT_EQ(readFile(files[0]), content);
  });
  EXPECT_TRUE(contains(::testing::internal::GetCapturedStderr(), "[WARN] Error reading data: "));
}

TEST_F(ArchiveExtractorTest, EmptyTarHasNoMembers) {
  extractInTemp(inTmp(), archiveBytes("", "empty.tar"),
                [](const std::string& dir, const Paths& files) {
                  EXPECT_TRUE(files.empty());
                  EXPECT_TRUE(fs::is_empty(dir));
                });
}

TEST_F(ArchiveExtractorTest, FilesNamedOutsideTheDestinationAreWrittenInsideUnderSafeNames) {
  const fs::path outside = work_.path() / "outside";
  fs::create_directory(outside);
  const ArchiveExtractor extractor = inTmp();
  const std::string destination = extractor.createTempDirectory();
  const std::string sibling = destination + "-evil";
  const std::string siblingName = fs::path(sibling).filename().string();
  struct Case {
    std::string name;
    std::string written;
  };
  const std::vector<Case> cases = {
      {"../evil.txt", "evil.txt"},
      {"../../evil.txt", "evil.txt"},
      {"a/../../evil.txt", "a/evil.txt"},
      {(outside / "evil.txt").string(), (outside / "evil.txt").relative_path().string()},
      // Shares the destination's name as a prefix but is another directory.
      {sibling + "/evil.txt", fs::path(sibling + "/evil.txt").relative_path().string()},
      {"../" + siblingName + "/evil.txt", siblingName + "/evil.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = archive(
        ArchiveFormat::Tar,
        {ArchiveMember::file(c.name, "evil"), ArchiveMember::file("ok.txt", "ok")}, "traversal");
    ::testing::internal::CaptureStderr();
    const Paths files = extractor.extract(path, destination);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(files, (Paths{destination + "/" + c.written, destination + "/ok.txt"}));
    EXPECT_EQ(readFile(destination + "/" + c.written), "evil");
    EXPECT_TRUE(contains(err, "[WARN] Path traversal attempt detected, extracting as " + c.written +
                                  ": " + c.name + "\n"))
        << err;
    EXPECT_FALSE(fs::exists(outside / "evil.txt"));
    EXPECT_FALSE(fs::exists(sibling));
    EXPECT_FALSE(fs::exists(tmp_.path() / "evil.txt"));
    EXPECT_FALSE(fs::exists(work_.path() / "evil.txt"));
    for (const auto& entry : fs::directory_iterator(destination)) fs::remove_all(entry.path());
  }
  extractor.cleanup(destination);
}

TEST_F(ArchiveExtractorTest, DirectoriesNamedOutsideTheDestinationAreSkipped) {
  const std::string path = archive(
      ArchiveFormat::Tar, {ArchiveMember::directory("../outdir"), ArchiveMember::file("ok", "ok")});
  ::testing::internal::CaptureStderr();
  extractInTemp(inTmp(), path, [&](const std::string& dir, const Paths& files) {
    EXPECT_EQ(files, Paths{dir + "/ok"});
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"ok"});
  });
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(contains(err, "[WARN] Path traversal attempt detected, skipping: ../outdir/\n"))
      << err;
  EXPECT_FALSE(fs::exists(tmp_.path() / "outdir"));
}

TEST_F(ArchiveExtractorTest, FilesWhoseNamesCannotBeUsedAreWrittenUnderPlainNames) {
  const std::string longElement(300, 'x');
  const std::string path =
      archive(ArchiveFormat::Tar,
              {ArchiveMember::file("a", "first"), ArchiveMember::file("a/b.txt", "second"),
               ArchiveMember::file(longElement, "third"), ArchiveMember::file(".", "fourth")});
  ::testing::internal::CaptureStderr();
  extractInTemp(inTmp(), path, [&](const std::string& dir, const Paths& files) {
    ASSERT_EQ(files, (Paths{dir + "/a", dir + "/member2", dir + "/member3", dir + "/member4"}));
    EXPECT_EQ(readFile(files[0]), "first");
    EXPECT_EQ(readFile(files[1]), "second");
    EXPECT_EQ(readFile(files[2]), "third");
    EXPECT_EQ(readFile(files[3]), "fourth");
  });
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(contains(err, "[WARN] Cannot place archive entry, extracting as member2: a/b.txt ("))
      << err;
  EXPECT_TRUE(contains(
      err, "[WARN] Cannot place archive entry, extracting as member3: " + longElement + " ("))
      << err;
}

TEST_F(ArchiveExtractorTest, NamesThatStayInsideAreWrittenNormalised) {
  struct Case {
    std::string name;
    std::string written;
  };
  // On this platform a backslash is part of a file name, so a Windows-style path stays inside.
  const std::vector<Case> cases = {
      {"./plain.txt", "plain.txt"},
      {"a/../b.txt", "b.txt"},
      {"x/./y/../z.txt", "x/z.txt"},
      {"C:\\Windows\\evil.txt", "C:\\Windows\\evil.txt"},
  };
  const ArchiveExtractor extractor = inTmp();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    extractInTemp(extractor, archive(ArchiveFormat::Tar, {ArchiveMember::file(c.name, "data")}),
                  [&](const std::string& dir, const Paths& files) {
                    EXPECT_EQ(files, Paths{dir + "/" + c.written});
                    EXPECT_EQ(readFile(dir + "/" + c.written), "data");
                  });
  }
}

TEST_F(ArchiveExtractorTest, LinksDevicesAndFifosAreNeverWritten) {
  const fs::path outside = work_.path() / "outside";
  fs::create_directory(outside);
  using Type = ArchiveMember::Type;
  const std::string path = archive(
      ArchiveFormat::Tar,
      {ArchiveMember::file("target.txt", "data"), memberOf(Type::Symlink, "link", "target.txt"),
       memberOf(Type::Symlink, "escape", outside.string()),
       ArchiveMember::file("escape/evil.txt", "evil"),
       memberOf(Type::Hardlink, "hard", "target.txt"), memberOf(Type::Fifo, "pipe"),
       memberOf(Type::CharacterDevice, "device")});
  extractInTemp(inTmp(), path, [&](const std::string& dir, const Paths& files) {
    EXPECT_EQ(files, (Paths{dir + "/target.txt", dir + "/escape/evil.txt"}));
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"escape", "escape/evil.txt", "target.txt"}));
    EXPECT_FALSE(fs::is_symlink(dir + "/escape"));
  });
  EXPECT_TRUE(fs::is_empty(outside));
}

TEST_F(ArchiveExtractorTest, HardLinkCarryingDataIsWrittenAsItsOwnFile) {
  const std::string path =
      archiveBytes(ArchiveFixtures::cpioLinkedPair("harmless", "evil"), "linked.cpio");
  extractInTemp(inTmp(), path, [](const std::string& dir, const Paths& files) {
    ASSERT_EQ(files, (Paths{dir + "/first.txt", dir + "/second.txt"}));
    EXPECT_EQ(readFile(files[0]), "harmless");
    EXPECT_EQ(readFile(files[1]), "evil");
    EXPECT_EQ(fs::hard_link_count(files[1]), 1u);
  });
}

TEST_F(ArchiveExtractorTest, DuplicateNamesAreAllWritten) {
  const std::string path = archive(ArchiveFormat::Tar, {ArchiveMember::file("same.txt", "first"),
                                                        ArchiveMember::file("same.txt", "second"),
                                                        ArchiveMember::file("same.txt", "third")});
  extractInTemp(inTmp(), path, [](const std::string& dir, const Paths& files) {
    ASSERT_EQ(files, (Paths{dir + "/same.txt", dir + "/same.txt~1", dir + "/same.txt~2"}));
    EXPECT_EQ(readFile(files[0]), "first");
    EXPECT_EQ(readFile(files[1]), "second");
    EXPECT_EQ(readFile(files[2]), "third");
  });
}

TEST_F(ArchiveExtractorTest, FailuresThrowAndLeaveNothing) {
  struct Case {
    const char* name;
    std::function<std::string()> archivePath;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"missing", [&] { return (work_.path() / "missing.zip").string(); },
       "Archive file does not exist: "},
      {"directory", [&] { return work_.str(); }, "Archive file is not a regular file: "},
      {"corrupt zip", [&] { return archiveBytes("PK\x03\x04 this is not a zip", "bad.zip"); },
       "Failed to open archive: "},
      {"text taken for an archive",
       [&] { return archiveBytes("PK-this is not an archive", "t.zip"); },
       "Failed to open archive: "},
  };
  const ArchiveExtractor extractor = inTmp();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path destination = work_.path() / "fresh" / "destination";
    try {
      extractor.extract(c.archivePath(), destination.string());
      ADD_FAILURE() << "no exception";
    } catch (const avwindows::ArchiveBombException&) {
      ADD_FAILURE() << "not a bomb";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()).rfind(c.message, 0), 0u) << error.what();
    }
    EXPECT_FALSE(fs::exists(work_.path() / "fresh"));
  }
}

TEST_F(ArchiveExtractorTest, BombRemovesOnlyWhatItWrote) {
  const fs::path destination = work_.path() / "existing";
  fs::create_directory(destination);
  const std::string keep = work_.write("existing/keep.txt", "mine");
  std::vector<ArchiveMember> members = ArchiveFixtures::numberedFiles(1001);
  members.insert(members.begin(), ArchiveMember::file("deep/er/file.txt", "x"));
  const std::string path = archive(ArchiveFormat::Tar, members);
  EXPECT_THROW(inTmp().extract(path, destination.string()), avwindows::ArchiveBombException);
  EXPECT_EQ(namesIn(destination), std::vector<std::string>{"keep.txt"});
  EXPECT_EQ(readFile(keep), "mine");
}

TEST_F(ArchiveExtractorTest, TruncatedArchiveKeepsWhatCouldBeRead) {
  const std::string bytes = ArchiveFixtures::build(
      ArchiveFormat::Tar, {ArchiveMember::file("first.txt", std::string(3000, 'a')),
                           ArchiveMember::file("second.txt", std::string(3000, 'b'))});
  const std::string path = archiveBytes(bytes.substr(0, 512 + 3072 + 512 + 1000), "cut.tar");
  ::testing::internal::CaptureStderr();
  extractInTemp(inTmp(), path, [](const std::string& dir, const Paths& files) {
    ASSERT_EQ(files, (Paths{dir + "/first.txt", dir + "/second.txt"}));
    EXPECT_EQ(readFile(files[0]), std::string(3000, 'a'));
    EXPECT_EQ(readFile(files[1]), std::string(1000, 'b'));
  });
  EXPECT_TRUE(contains(::testing::internal::GetCapturedStderr(), "[WARN] Error reading data: "));
}

TEST_F(ArchiveExtractorTest, EmptyingTheFolderLeavesOnePrivateEmptyDirectory) {
  const fs::path elsewhere = work_.path() / "elsewhere";
  fs::create_directories(elsewhere);
  work_.write("elsewhere/kept.txt", "kept");
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> prepare;
  };
  const std::vector<Case> cases = {
      {"missing, parents too", [](const fs::path&) {}},
      {"left behind by a stopped run",
       [](const fs::path& folder) {
         fs::create_directories(folder / "av_extract_1" / "deep" / "deeper");
         std::ofstream(folder / "av_extract_1" / "deep" / "deeper" / "member") << "m";
         fs::permissions(folder / "av_extract_1", fs::perms::owner_all);
         std::ofstream(folder / "stray") << "s";
         fs::permissions(folder, fs::perms(0755));
       }},
      {"a file in its place",
       [](const fs::path& folder) {
         fs::create_directories(folder.parent_path());
         std::ofstream(folder) << "x";
       }},
      {"a link in its place",
       [&elsewhere](const fs::path& folder) {
         fs::create_directories(folder.parent_path());
         fs::create_directory_symlink(elsewhere, folder);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = work_.path() / c.name / "data" / "extract";
    c.prepare(folder);
    ArchiveExtractor::emptyFolder(folder.string());
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(folder)));
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    const std::string made = ArchiveExtractor(folder.string()).createTempDirectory();
    EXPECT_EQ(fs::path(made).parent_path(), folder);
  }
  EXPECT_EQ(readFile(elsewhere / "kept.txt"), "kept");
}

TEST_F(ArchiveExtractorTest, TemporaryDirectoriesArePrivateAndFresh) {
  const ArchiveExtractor extractor = inTmp();
  const std::string first = extractor.createTempDirectory();
  const std::string second = extractor.createTempDirectory();
  EXPECT_NE(first, second);
  const std::regex name("av_extract_[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  for (const std::string& directory : {first, second}) {
    EXPECT_EQ(fs::path(directory).parent_path(), tmp_.path());
    EXPECT_TRUE(std::regex_match(fs::path(directory).filename().string(), name)) << directory;
    EXPECT_TRUE(fs::is_empty(directory));
    EXPECT_EQ(fs::status(directory).permissions() & fs::perms::all, fs::perms::owner_all);
  }

  work_.write("unused.txt", "");
  fs::copy_file(work_.path() / "unused.txt", first + "/inside.txt");
  ::testing::internal::CaptureStdout();
  extractor.cleanup(first);
  extractor.cleanup(second);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "[INFO] Limpiado directorio temporal: " + first +
                "\n[INFO] Limpiado directorio temporal: " + second + "\n");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  extractor.cleanup(first);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(ExtractionBudgetTest, BoundIsTheSmallerOfHundredTimesTheSizeAndTwoGiB) {
  constexpr std::uint64_t kTwoGiB = 2ULL << 30;
  EXPECT_EQ(ExtractionBudget::forTopLevelFile(0).remaining(), 0u);
  EXPECT_EQ(ExtractionBudget::forTopLevelFile(1000).remaining(), 100'000u);
  EXPECT_EQ(ExtractionBudget::forTopLevelFile(kTwoGiB / 100).remaining(), kTwoGiB / 100 * 100);
  EXPECT_EQ(ExtractionBudget::forTopLevelFile(kTwoGiB / 100 + 1).remaining(), kTwoGiB);
  EXPECT_EQ(ExtractionBudget::forTopLevelFile(~0ULL).remaining(), kTwoGiB);

  ExtractionBudget budget = ExtractionBudget::forTopLevelFile(10);
  EXPECT_TRUE(budget.consume(600));
  EXPECT_FALSE(budget.consume(401));
  EXPECT_EQ(budget.remaining(), 400u);
  EXPECT_TRUE(budget.exhausted());
  EXPECT_TRUE(budget.consume(400));
  EXPECT_EQ(budget.remaining(), 0u);
}

// The descriptor is what is read: its offset does not matter, and a file put in its path after it
// was opened changes nothing.
TEST_F(ArchiveExtractorTest, ExtractsFromTheDescriptorItIsGiven) {
  const std::string path =
      archive(ArchiveFormat::Tar, {ArchiveMember::file("original.txt", "original")});
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::lseek(fd, 700, SEEK_SET), 700);
  const std::string other =
      archive(ArchiveFormat::Tar, {ArchiveMember::file("swapped.txt", "swapped")}, "other");
  fs::rename(other, path);
  const ArchiveExtractor extractor = inTmp();
  const std::string directory = extractor.createTempDirectory();
  ExtractionBudget budget = ExtractionBudget::forTopLevelFile(10240);
  const Paths files = extractor.extract(fd, "named.tar", directory, budget);
  EXPECT_EQ(files, Paths{directory + "/original.txt"});
  EXPECT_EQ(readFile(files.at(0)), "original");
  EXPECT_EQ(budget.remaining(), 10240u * 100 - 8);
  ::close(fd);
  extractor.cleanup(directory);
}

TEST_F(ArchiveExtractorTest, RunningOutOfTheBudgetIsABombAndLeavesNothing) {
  const std::string path =
      archive(ArchiveFormat::TarGz, {ArchiveMember::file("a.bin", std::string(3000, 'a')),
                                     ArchiveMember::file("b.bin", std::string(3000, 'b'))});
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const ArchiveExtractor extractor = inTmp();
  const std::string directory = extractor.createTempDirectory();
  ExtractionBudget budget = ExtractionBudget::forTopLevelFile(50);
  try {
    extractor.extract(fd, path, directory, budget);
    ADD_FAILURE() << "5000 bytes were written on a budget of 5000";
  } catch (const avwindows::ArchiveBombException& bomb) {
    EXPECT_EQ(bomb.what(), ExtractionBudget::exhaustedMessage());
  }
  EXPECT_TRUE(budget.exhausted());
  EXPECT_TRUE(fs::is_empty(directory));
  ::close(fd);
  extractor.cleanup(directory);
}

// An mtree "archive" names files of this machine for the reader to copy: it is never read.
TEST_F(ArchiveExtractorTest, MtreeManifestsAreNotRead) {
  const std::string secret = work_.write("secret.txt", "secret");
  const std::string path = work_.write("manifest.tar", "#mtree\n" + secret + " type=file\n");
  EXPECT_THROW(inTmp().extract(path, (work_.path() / "out").string()), std::runtime_error);
  EXPECT_FALSE(fs::exists(work_.path() / "out"));
}

// A single compressed stream is one member, named after the container without its extension.
TEST_F(ArchiveExtractorTest, CompressedStreamIsOneMember) {
  const std::string content = "plain text, " + std::string(2000, 'x');
  for (const std::string kind : {"bz2", "xz", "lzma", "zst", "lz4", "lz", "Z"}) {
    SCOPED_TRACE(kind);
    const fs::path directory = work_.path() / kind;
    fs::create_directories(directory);
    const std::string path =
        ArchiveFixtures::sample(kind, {ArchiveMember::file("notes.txt", content)}, directory);
    extractInTemp(inTmp(), path, [&](const std::string& dir, const Paths& files) {
      ASSERT_EQ(files, Paths{dir + "/sample"});
      EXPECT_EQ(readFile(files[0]), content);
    });
  }
  // gzip was recognised before; a gzip of one file is now opened too.
  const std::string gz = work_.str() + "/notes.txt.gz";
  ArchiveFixtures::run("printf 'hello' | gzip -c > '" + gz + "'");
  extractInTemp(inTmp(), gz, [&](const std::string& dir, const Paths& files) {
    ASSERT_EQ(files, Paths{dir + "/notes.txt"});
    EXPECT_EQ(readFile(files[0]), "hello");
  });
}

// Runs `work` with the console captured, so that the extractor's lines do not flood the output;
// what it throws is thrown again once the console is back (and assertion messages are seen).
template <typename Work>
void quietly(Work work) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  std::exception_ptr failure;
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  ::testing::internal::GetCapturedStdout();
  ::testing::internal::GetCapturedStderr();
  if (failure) std::rethrow_exception(failure);
}

// Every new container kind, built with its real tool, gives its members back under the same
// limits as the historical formats: entry count, entry size, ratio and the per-file budget.
TEST_F(ArchiveExtractorTest, EveryContainerKindKeepsTheLimits) {
  const std::vector<ArchiveMember> members = {
      ArchiveMember::file("one.txt", std::string(1000, '1')),
      ArchiveMember::file("two.txt", std::string(1000, '2')),
      ArchiveMember::file("three.txt", std::string(1000, '3')),
      ArchiveMember::file("four.txt", std::string(1000, '4'))};
  for (const std::string& kind : ArchiveFixtures::sampleKinds()) {
    SCOPED_TRACE(kind);
    const fs::path directory = work_.path() / kind;
    fs::create_directories(directory);
    const std::string path = ArchiveFixtures::sample(kind, members, directory.string());
    const std::size_t count = ArchiveFixtures::isSingleStream(kind) ? 1 : members.size();
    const double fileSize = static_cast<double>(fs::file_size(path));

    std::vector<std::string> contents;
    quietly([&] {
      extractInTemp(inTmp(), path, [&](const std::string&, const Paths& files) {
        for (const std::string& file : files) contents.push_back(readFile(file));
      });
    });
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_NE(std::find(contents.begin(), contents.end(), members[i].content), contents.end())
          << members[i].name;
    }

    struct Limit {
      const char* name;
      ArchiveLimits limits;
      std::string message;
    };
    const std::vector<Limit> limits = {
        {"entries", ArchiveLimits{3, static_cast<std::int32_t>(count) - 1, 524'288'000, 1e9},
         "Archive exceeds maximum file count: " + std::to_string(count - 1)},
        {"ratio",
         ArchiveLimits{3, 1000, 524'288'000, 500.0 * static_cast<double>(count) / fileSize},
         "Possible zip bomb detected. Compression ratio: "},
    };
    for (const Limit& limit : limits) {
      SCOPED_TRACE(limit.name);
      std::string message = "no exception";
      try {
        quietly([&] {
          extractInTemp(inTmp(limit.limits), path, [](const std::string&, const Paths&) {});
        });
      } catch (const avwindows::ArchiveBombException& bomb) {
        message = bomb.what();
      }
      EXPECT_TRUE(contains(message, limit.message)) << message;
    }

    // A member beyond the entry size is either skipped by its declared size or stopped as it is
    // written; it never lands whole.
    std::vector<std::uintmax_t> sizes;
    std::string message;
    try {
      quietly([&] {
        extractInTemp(inTmp(ArchiveLimits{3, 1000, 500, 1e9}), path,
                      [&](const std::string&, const Paths& files) {
                        for (const std::string& file : files) sizes.push_back(fs::file_size(file));
                      });
      });
    } catch (const avwindows::ArchiveBombException& bomb) {
      message = bomb.what();
    }
    EXPECT_TRUE(message.empty() || contains(message, "Archive entry exceeds maximum size: "))
        << message;
    for (const std::uintmax_t size : sizes) EXPECT_LE(size, 500u);

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const ArchiveExtractor extractor = inTmp();
    const std::string destination = extractor.createTempDirectory();
    ExtractionBudget budget = ExtractionBudget::forTopLevelFile(5);
    EXPECT_THROW(quietly([&] { extractor.extract(fd, path, destination, budget); }),
                 avwindows::ArchiveBombException);
    EXPECT_TRUE(fs::is_empty(destination));
    extractor.cleanup(destination);
    ::close(fd);
  }
}

TEST_F(ArchiveExtractorTest, MailPartsAreDecodedAndNamedSafely) {
  const std::string inner = ArchiveFixtures::mail(
      {{ArchiveMember::file("inner.txt", "inside the attached message"), MailEncoding::Base64}});
  const std::string binary("\0\x01\x62inary\xFF", 9);
  const std::string message = ArchiveFixtures::mail({
      {ArchiveMember::file("report.bin", binary), MailEncoding::Base64},
      {ArchiveMember::file("notes.txt", "caf\xC3\xA9 = 100%"), MailEncoding::QuotedPrintable},
      {ArchiveMember::file("old.dat", std::string(100, 'u')), MailEncoding::Uuencode},
      {ArchiveMember::file("../../escape.txt", "escape"), MailEncoding::Base64},
      {ArchiveMember::file("folder/evil.exe", "evil"), MailEncoding::Base64},
      {ArchiveMember::file("forwarded.eml", inner), MailEncoding::AttachedMessage},
  });
  const std::string path = archiveBytes(message, "message.eml");
  extractInTemp(inTmp(), path, [&](const std::string& dir, const Paths& files) {
    ASSERT_EQ(files,
              (Paths{dir + "/part1", dir + "/report.bin", dir + "/notes.txt", dir + "/old.dat",
                     dir + "/escape.txt", dir + "/evil.exe", dir + "/message7.eml"}));
    EXPECT_EQ(readFile(files[0]), "Please see the attachments.\n");
    EXPECT_EQ(readFile(files[1]), binary);
    EXPECT_EQ(readFile(files[2]), "caf\xC3\xA9 = 100%\n");
    EXPECT_EQ(readFile(files[3]), std::string(100, 'u'));
    EXPECT_EQ(readFile(files[4]), "escape");
    EXPECT_EQ(inTmp().detectFormat(files[6]), "mail");
  });
}

TEST_F(ArchiveExtractorTest, UuencodedBlocksInAPlainBodyAreMembers) {
  const std::string path = archiveBytes(
      "From: a@example.com\nTo: b@example.com\nSubject: old style\n\nHere it is:\n\n"
      "begin 644 tool.exe\n"
      ",:&5L;&\\@=V]R;&0*\n"
      "`\nend\n\nBye.\n",
      "old.eml");
  extractInTemp(inTmp(), path, [&](const std::string& dir, const Paths& files) {
    ASSERT_EQ(files, (Paths{dir + "/part1", dir + "/tool.exe"}));
    EXPECT_EQ(readFile(files[1]), "hello world\n");
  });
}

TEST_F(ArchiveExtractorTest, CompoundFileStreamsKeepTheirStorages) {
  const std::string path = archiveBytes(
      ArchiveFixtures::compoundFile({ArchiveMember::file("WordDocument", "document body"),
                                     ArchiveMember::file("Macros/VBA", std::string(5000, 'v')),
                                     ArchiveMember::file("\x05SummaryInformation", "summary")}),
      "document.doc");
  extractInTemp(inTmp(), path, [&](const std::string& dir, const Paths& files) {
    std::vector<std::string> names;
    for (const std::string& file : files) names.push_back(fs::path(file).lexically_relative(dir));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"Macros/VBA", "WordDocument", "_SummaryInformation"}));
    EXPECT_EQ(readFile(dir + "/Macros/VBA"), std::string(5000, 'v'));
  });
}

TEST_F(ArchiveExtractorTest, CompoundFileWhoseRootHasASiblingIsRefused) {
  // libgsf reads a sibling of the root storage into an entry that belongs to no storage and is
  // never freed: such a file is refused before libgsf reads its directory.
  const std::string good = ArchiveFixtures::compoundFile(
      {ArchiveMember::file("WordDocument", "body"), ArchiveMember::file("Data", "data")});
  const auto byteAt = [&](std::size_t offset) { return static_cast<unsigned char>(good[offset]); };
  const std::size_t shift = byteAt(0x1E);
  const std::size_t firstDirectorySector =
      byteAt(0x30) | byteAt(0x31) << 8 | byteAt(0x32) << 16 | std::size_t{byteAt(0x33)} << 24;
  const std::size_t root = 0x200 + (firstDirectorySector << shift);
  ASSERT_EQ(good.compare(root + 0x44, 8, std::string(8, '\xFF')), 0) << "siblings are NOSTREAM";
  for (const std::size_t sibling : {root + 0x44, root + 0x48}) {
    SCOPED_TRACE(sibling - root);
    std::string bad = good;
    bad.replace(sibling, 4, "\x01\0\0\0"s);
    const fs::path destination = work_.path() / "fresh";
    try {
      inTmp().extract(archiveBytes(bad, "document.doc"), destination.string());
      ADD_FAILURE() << "a root with a sibling was opened";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find("root storage"), std::string::npos) << error.what();
    }
    EXPECT_FALSE(fs::exists(destination));
  }
  extractInTemp(inTmp(), archiveBytes(good, "good.doc"),
                [](const std::string&, const Paths& files) { EXPECT_EQ(files.size(), 2u); });
}

TEST_F(ArchiveExtractorTest, DamagedNewContainersAreNotOpened) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"bad.doc", "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1 broken"s},
      {"bad.chm", "ITSF\x03\0\0\0 broken"s},
      {"bad.ex_", "SZDD\x88\xF0\x27\x33"s},
      {"bad.kwj", "KWAJ\x88\xF0"s},
      {"bad.xz", "\xFD\x37zXZ\0 broken"s},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    const fs::path destination = work_.path() / "fresh";
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(inTmp().extract(archiveBytes(bytes, name), destination.string()),
                 std::runtime_error);
    ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(fs::exists(destination));
  }
}

}  // namespace
}  // namespace norvid
