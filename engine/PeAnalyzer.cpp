#include "engine/PeAnalyzer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/FileHandle.hpp"

namespace norvid {
namespace {

constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kHeaderOffsetField = 0x3C;
constexpr std::size_t kPeHeaderSize = 24;  // "PE\0\0" and the 20-byte COFF file header
constexpr std::size_t kSectionHeaderSize = 40;
constexpr std::uint16_t kMzSignature = 0x5A4D;
constexpr std::uint32_t kPeSignature = 0x00004550;
constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;
// The Windows loader refuses images with more sections than this.
constexpr std::size_t kMaxSections = 96;
constexpr std::uint64_t kMaxSectionRead = 1'048'576;
constexpr std::uint64_t kMaxFileRead = 10'485'760;
constexpr std::size_t kReadChunk = 65'536;

using Histogram = std::array<std::uint64_t, 256>;

// Little-endian fields of a buffer; a field that does not fit inside it reads as zero.
std::uint16_t readLe16(const std::vector<std::uint8_t>& buffer, std::size_t offset) {
  if (offset > buffer.size() || buffer.size() - offset < 2) return 0;
  return static_cast<std::uint16_t>(buffer[offset] | (buffer[offset + 1] << 8));
}

std::uint32_t readLe32(const std::vector<std::uint8_t>& buffer, std::size_t offset) {
  if (offset > buffer.size() || buffer.size() - offset < 4) return 0;
  return static_cast<std::uint32_t>(buffer[offset]) |
         (static_cast<std::uint32_t>(buffer[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(buffer[offset + 2]) << 16) |
         (static_cast<std::uint32_t>(buffer[offset + 3]) << 24);
}

double histogramEntropy(const Histogram& counts, std::uint64_t total) {
  if (total == 0) return 0.0;
  double entropy = 0.0;
  const double size = static_cast<double>(total);
  for (std::uint64_t count : counts) {
    if (count == 0) continue;
    const double probability = static_cast<double>(count) / size;
    entropy -= probability * std::log2(probability);
  }
  return entropy;
}

// A file opened for bounded reads: every read is clipped to the file's length (taken once, on
// the open file), so a header pointing past the end reads nothing instead of failing. Symbolic
// links are resolved first; FIFOs and devices are refused without blocking.
class BoundedFile {
 public:
  explicit BoundedFile(const std::string& path) : handle_(&owned_) {
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(path, error);
    if (error) return;
    owned_ =
        platform::FileHandle::openForReading(resolved.string()).value_or(platform::FileHandle());
    takeSize();
  }

  // Reads through a descriptor the caller keeps open.
  explicit BoundedFile(const platform::FileHandle& file) : handle_(&file) { takeSize(); }

  bool isOpen() const { return open_; }
  std::uint64_t size() const { return size_; }

  // Reads up to `length` bytes at `offset` into a buffer of exactly `length` bytes; bytes the
  // file does not have stay zero. Returns how many bytes came from the file.
  std::size_t readPadded(std::uint64_t offset, std::vector<std::uint8_t>& buffer,
                         std::size_t length) {
    buffer.assign(length, 0);
    return readInto(offset, reinterpret_cast<char*>(buffer.data()), availableAt(offset, length));
  }

  // Adds `length` bytes starting at `offset` to the histogram, chunk by chunk; bytes past the
  // end of the file count as zero bytes. Returns `length`.
  std::uint64_t addToHistogram(std::uint64_t offset, std::uint64_t length, Histogram& counts) {
    std::vector<char> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(length, kReadChunk)));
    const std::size_t available = availableAt(offset, length);
    std::uint64_t counted = 0;
    while (counted < available) {
      const auto want =
          static_cast<std::size_t>(std::min<std::uint64_t>(available - counted, chunk.size()));
      const std::size_t got = readInto(offset + counted, chunk.data(), want);
      for (std::size_t i = 0; i < got; ++i) ++counts[static_cast<std::uint8_t>(chunk[i])];
      counted += got;
      if (got < want) break;
    }
    counts[0] += length - counted;
    return length;
  }

 private:
  void takeSize() {
    if (!handle_->isOpen()) return;
    const platform::Result<platform::FileStatus> status = handle_->status();
    if (!status || !status->regular) return;
    size_ = status->size;
    open_ = true;
  }

  std::size_t availableAt(std::uint64_t offset, std::uint64_t length) const {
    if (!open_ || offset >= size_) return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
  }

  // Reads until `size` bytes arrived, the file ended or a read failed; returns the count.
  std::size_t readInto(std::uint64_t offset, char* buffer, std::size_t size) const {
    std::size_t done = 0;
    while (done < size) {
      const platform::Result<std::size_t> got =
          handle_->readAt(offset + done, buffer + done, size - done);
      if (!got || *got == 0) break;
      done += *got;
    }
    return done;
  }

  platform::FileHandle owned_;
  const platform::FileHandle* handle_;
  std::uint64_t size_ = 0;
  bool open_ = false;
};

PeSection readSection(BoundedFile& file, const std::vector<std::uint8_t>& header) {
  PeSection section;
  std::size_t nameLength = 0;
  while (nameLength < 8 && header[nameLength] != 0) ++nameLength;
  section.name.assign(reinterpret_cast<const char*>(header.data()), nameLength);
  section.virtualSize = readLe32(header, 8);
  section.rawSize = readLe32(header, 16);
  const std::uint32_t rawPointer = readLe32(header, 20);
  const std::uint32_t characteristics = readLe32(header, 36);
  section.executable = (characteristics & kSectionExecute) != 0;
  section.writable = (characteristics & kSectionWrite) != 0;
  if (section.rawSize != 0) {
    if (section.virtualSize != 0) {
      const double ratio =
          static_cast<double>(section.virtualSize) / static_cast<double>(section.rawSize);
      section.sizeMismatch = ratio > 2.0 || ratio < 0.5;
    }
    if (rawPointer != 0) {
      Histogram counts{};
      const std::uint64_t length = std::min<std::uint64_t>(section.rawSize, kMaxSectionRead);
      section.entropy = histogramEntropy(counts, file.addToHistogram(rawPointer, length, counts));
    }
  }
  return section;
}

std::string detectPacker(const std::vector<PeSection>& sections,
                         const std::map<std::string, std::string>& signatures) {
  for (const PeSection& section : sections) {
    for (const auto& [fragment, packer] : signatures) {
      if (section.name.find(fragment) != std::string::npos) return packer;
    }
  }
  const bool packedLooking = std::any_of(sections.begin(), sections.end(), [](const PeSection& s) {
    return s.executable && s.entropy > 7.2;
  });
  return packedLooking ? "Unknown Packer (High Entropy)" : std::string();
}

void score(PeAnalysisResult& result) {
  int points = 0;
  auto add = [&](int value, std::string indicator) {
    points += value;
    result.indicators.push_back(std::move(indicator));
  };
  if (result.entropy > 7.5) {
    add(20, "Very high entropy (possible encryption/packing)");
  } else if (result.entropy > 7.0) {
    add(10, "High entropy detected");
  }
  if (!result.packer.empty()) add(25, "Packed with: " + result.packer);
  const auto writableExecutable =
      std::count_if(result.sections.begin(), result.sections.end(),
                    [](const PeSection& s) { return s.writable && s.executable; });
  if (writableExecutable > 0) {
    add(15 * static_cast<int>(writableExecutable),
        "Writable+Executable sections: " + std::to_string(writableExecutable));
  }
  const auto mismatches = std::count_if(result.sections.begin(), result.sections.end(),
                                        [](const PeSection& s) { return s.sizeMismatch; });
  if (mismatches > 0) {
    add(5 * static_cast<int>(mismatches), "Section size mismatches: " + std::to_string(mismatches));
  }
  if (!result.suspiciousImports.empty()) {
    const auto count = static_cast<int>(result.suspiciousImports.size());
    add(std::min(5 * count, 30), "Suspicious API imports: " + std::to_string(count));
  }
  if (result.sections.size() < 3) {
    add(10, "Unusually few sections");
  } else if (result.sections.size() >= 11) {
    add(5, "Unusually many sections");
  }
  result.score = std::min(points, 100);
  result.riskLevel = PeAnalyzer::riskLevelForScore(result.score);
}

PeAnalysisResult analyzeBounded(BoundedFile& file,
                                const std::map<std::string, std::string>& packerSignatures);

}  // namespace

PeAnalyzer::PeAnalyzer()
    : packerSignatures_{
          {".adata", "ASPack"},    {".aspack", "ASPack"}, {".enigma", "Enigma Protector"},
          {".nsp0", "NsPack"},     {".nsp1", "NsPack"},   {".packed", "Generic Packer"},
          {".themida", "Themida"}, {".vmp", "VMProtect"}, {"Themida", "Themida"},
          {"UPX0", "UPX"},         {"UPX1", "UPX"},
      } {}

bool PeAnalyzer::isPeFile(const std::string& path) const {
  BoundedFile file(path);
  std::vector<std::uint8_t> start;
  return file.isOpen() && file.readPadded(0, start, 2) == 2 && readLe16(start, 0) == kMzSignature;
}

PeAnalysisResult PeAnalyzer::analyze(const std::string& path) const {
  BoundedFile file(path);
  return analyzeBounded(file, packerSignatures_);
}

PeAnalysisResult PeAnalyzer::analyze(const platform::FileHandle& handle) const {
  BoundedFile file(handle);
  return analyzeBounded(file, packerSignatures_);
}

namespace {

PeAnalysisResult analyzeBounded(BoundedFile& file,
                                const std::map<std::string, std::string>& packerSignatures) {
  PeAnalysisResult result;
  if (!file.isOpen()) {
    result.indicators.push_back("Cannot open file");
    return result;
  }

  std::vector<std::uint8_t> dosHeader;
  const std::size_t dosBytes = file.readPadded(0, dosHeader, kDosHeaderSize);
  if (dosBytes < 2 || readLe16(dosHeader, 0) != kMzSignature) {
    result.indicators.push_back("Not a valid PE file (missing MZ signature)");
    return result;
  }

  const auto headerOffset = static_cast<std::int32_t>(readLe32(dosHeader, kHeaderOffsetField));
  std::vector<std::uint8_t> peHeader;
  if (headerOffset < 0 ||
      file.readPadded(static_cast<std::uint64_t>(headerOffset), peHeader, kPeHeaderSize) <
          kPeHeaderSize ||
      readLe32(peHeader, 0) != kPeSignature) {
    result.indicators.push_back("Not a valid PE file (missing PE signature)");
    return result;
  }

  result.isPE = true;
  result.is32Bit = readLe16(peHeader, 4) == kMachineI386;
  const std::size_t announcedSections = readLe16(peHeader, 6);
  const std::uint16_t optionalHeaderSize = readLe16(peHeader, 20);
  const std::uint64_t sectionTable =
      static_cast<std::uint64_t>(headerOffset) + kPeHeaderSize + optionalHeaderSize;

  // A truncated section table ends the list at the last complete header.
  const std::size_t sectionCount = std::min(announcedSections, kMaxSections);
  std::vector<std::uint8_t> sectionHeader;
  for (std::size_t index = 0; index < sectionCount; ++index) {
    const std::uint64_t offset = sectionTable + index * kSectionHeaderSize;
    if (file.readPadded(offset, sectionHeader, kSectionHeaderSize) < kSectionHeaderSize) break;
    result.sections.push_back(readSection(file, sectionHeader));
  }

  Histogram counts{};
  const std::uint64_t fileLength = std::min(file.size(), kMaxFileRead);
  result.entropy = histogramEntropy(counts, file.addToHistogram(0, fileLength, counts));
  result.packer = detectPacker(result.sections, packerSignatures);
  score(result);
  return result;
}

}  // namespace

double PeAnalyzer::entropy(const std::uint8_t* data, std::size_t size) {
  Histogram counts{};
  for (std::size_t i = 0; i < size; ++i) ++counts[data[i]];
  return histogramEntropy(counts, size);
}

std::int32_t PeAnalyzer::riskLevelForScore(std::int32_t score) {
  if (score >= 70) return 4;
  if (score >= 50) return 3;
  if (score >= 30) return 2;
  if (score >= 15) return 1;
  return 0;
}

}  // namespace norvid
