#include "engine/VerdictFile.hpp"

#include <cerrno>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <utility>

#include "platform/AtomicFile.hpp"
#include "platform/FileHandle.hpp"
#include "platform/Sha256.hpp"

namespace norvid {
namespace {

using nlohmann::json;

const std::string kMagic = "NVVERDCT";
constexpr std::size_t kChecksumBytes = 64;

void appendU32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
}

void appendCbor(std::string& out, const json& value) {
  const std::vector<std::uint8_t> bytes = json::to_cbor(value);
  appendU32(out, static_cast<std::uint32_t>(bytes.size()));
  out.append(bytes.begin(), bytes.end());
}

json resultToJson(const ScanResult& result) {
  json out = {{"path", result.path},           {"status", static_cast<std::int32_t>(result.status)},
              {"threat", result.threat},       {"depth", result.depth},
              {"container", result.container}, {"pe_analyzed", result.peAnalyzed}};
  if (!result.peAnalyzed) return out;
  const PeAnalysisResult& pe = result.pe;
  json sections = json::array();
  for (const PeSection& section : pe.sections) {
    sections.push_back({section.name, section.virtualSize, section.rawSize, section.entropy,
                        section.executable, section.writable, section.sizeMismatch});
  }
  out["pe"] = {{"is_pe", pe.isPE},
               {"is_32_bit", pe.is32Bit},
               {"packer", pe.packer},
               {"entropy", pe.entropy},
               {"sections", std::move(sections)},
               {"suspicious_imports", pe.suspiciousImports},
               {"indicators", pe.indicators},
               {"risk_level", pe.riskLevel},
               {"score", pe.score}};
  return out;
}

// Throws nlohmann's exceptions on any member missing or of the wrong type.
ScanResult resultFromJson(const json& in) {
  const std::int32_t status = in.at("status").get<std::int32_t>();
  if (status < 0 || status > static_cast<std::int32_t>(ScanStatus::SKIPPED)) {
    throw std::out_of_range("status");
  }
  ScanResult result(in.at("path").get<std::string>(), static_cast<ScanStatus>(status),
                    in.at("threat").get<std::string>(), in.at("depth").get<std::int32_t>(),
                    in.at("container").get<std::string>());
  result.peAnalyzed = in.at("pe_analyzed").get<bool>();
  if (!result.peAnalyzed) return result;
  const json& pe = in.at("pe");
  result.pe.isPE = pe.at("is_pe").get<bool>();
  result.pe.is32Bit = pe.at("is_32_bit").get<bool>();
  result.pe.packer = pe.at("packer").get<std::string>();
  result.pe.entropy = pe.at("entropy").get<double>();
  for (const json& section : pe.at("sections")) {
    result.pe.sections.push_back(
        PeSection{section.at(0).get<std::string>(), section.at(1).get<std::uint32_t>(),
                  section.at(2).get<std::uint32_t>(), section.at(3).get<double>(),
                  section.at(4).get<bool>(), section.at(5).get<bool>(), section.at(6).get<bool>()});
  }
  result.pe.suspiciousImports = pe.at("suspicious_imports").get<std::vector<std::string>>();
  result.pe.indicators = pe.at("indicators").get<std::vector<std::string>>();
  result.pe.riskLevel = pe.at("risk_level").get<std::int32_t>();
  result.pe.score = pe.at("score").get<std::int32_t>();
  return result;
}

json entryToJson(const VerdictFile::Entry& entry) {
  json console = json::array();
  for (const ConsoleCapture::Piece& piece : entry.verdict.console) {
    console.push_back({piece.error, piece.text});
  }
  return {{"p", entry.path},
          {"f", entry.fileSystem},
          {"i", entry.inode},
          {"s", entry.size},
          {"m", entry.modifiedNs},
          {"c", entry.changedNs},
          {"r", resultToJson(entry.verdict.result)},
          {"o", std::move(console)}};
}

VerdictFile::Entry entryFromJson(const json& in) {
  VerdictFile::Entry entry;
  entry.path = in.at("p").get<std::string>();
  entry.fileSystem = in.at("f").get<std::uint64_t>();
  entry.inode = in.at("i").get<std::uint64_t>();
  entry.size = in.at("s").get<std::uint64_t>();
  entry.modifiedNs = in.at("m").get<std::int64_t>();
  entry.changedNs = in.at("c").get<std::int64_t>();
  entry.verdict.result = resultFromJson(in.at("r"));
  for (const json& piece : in.at("o")) {
    entry.verdict.console.push_back({piece.at(0).get<bool>(), piece.at(1).get<std::string>()});
  }
  return entry;
}

// Reads the bytes of a whole file and where they stand; throws std::runtime_error on any fault.
class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}

  std::string take(std::size_t count) {
    if (count > bytes_.size() - at_) throw std::runtime_error("truncated");
    std::string piece = bytes_.substr(at_, count);
    at_ += count;
    return piece;
  }
  std::uint32_t takeU32() {
    const std::string piece = take(4);
    std::uint32_t value = 0;
    for (int index = 3; index >= 0; --index) {
      value = (value << 8) | static_cast<unsigned char>(piece[static_cast<std::size_t>(index)]);
    }
    return value;
  }
  json takeCbor() {
    const std::uint32_t length = takeU32();
    if (length > VerdictFile::kMaxRecordBytes) throw std::runtime_error("record too large");
    const std::string piece = take(length);
    return json::from_cbor(piece.begin(), piece.end());
  }
  bool atEnd() const { return at_ == bytes_.size(); }

 private:
  const std::string& bytes_;
  std::size_t at_ = 0;
};

}  // namespace

std::string VerdictFile::encode(const Contents& contents) {
  std::string out = kMagic;
  appendU32(out, kVersion);
  appendCbor(out, {{"content", contents.content},
                   {"exclusions", contents.exclusions},
                   {"entries", contents.entries.size()}});
  for (const Entry& entry : contents.entries) appendCbor(out, entryToJson(entry));
  out += platform::Sha256::ofText(out);
  return out;
}

std::optional<VerdictFile::Contents> VerdictFile::decode(const std::string& bytes,
                                                         std::string* problem) {
  try {
    if (bytes.size() < kMagic.size() + 8 + kChecksumBytes) throw std::runtime_error("truncated");
    if (bytes.compare(0, kMagic.size(), kMagic) != 0)
      throw std::runtime_error("not a verdict file");
    const std::string body = bytes.substr(0, bytes.size() - kChecksumBytes);
    Reader reader(body);
    reader.take(kMagic.size());
    const std::uint32_t version = reader.takeU32();
    if (version != kVersion) {
      throw std::runtime_error("format version " + std::to_string(version) + ", expected " +
                               std::to_string(kVersion));
    }
    if (platform::Sha256::ofText(body) != bytes.substr(body.size())) {
      throw std::runtime_error("checksum mismatch");
    }
    const json header = reader.takeCbor();
    Contents contents;
    contents.content = header.at("content").get<std::string>();
    contents.exclusions = header.at("exclusions").get<std::string>();
    const std::uint64_t count = header.at("entries").get<std::uint64_t>();
    if (count > kMaxEntries) throw std::runtime_error("too many entries");
    contents.entries.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t index = 0; index < count; ++index) {
      contents.entries.push_back(entryFromJson(reader.takeCbor()));
    }
    if (!reader.atEnd()) throw std::runtime_error("trailing bytes");
    return contents;
  } catch (const std::exception& error) {
    if (problem != nullptr) *problem = error.what();
    return std::nullopt;
  }
}

platform::Result<> VerdictFile::write(const std::string& path, const Contents& contents) {
  const std::string bytes = encode(contents);
  if (bytes.size() > kMaxFileBytes) {
    return platform::Failure{
        EFBIG, "verdicts for " + path + " exceed " + std::to_string(kMaxFileBytes) + " bytes"};
  }
  return platform::writeFileAtomically(
      path, bytes, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

std::optional<VerdictFile::Contents> VerdictFile::read(const std::string& path,
                                                       std::string* problem) {
  if (problem != nullptr) problem->clear();
  const platform::Result<platform::FileHandle> file = platform::FileHandle::openForReading(path);
  if (!file) {
    if (file.failure().code != ENOENT && problem != nullptr) *problem = file.failure().message;
    return std::nullopt;
  }
  const platform::Result<platform::FileStatus> status = file->status();
  if (!status) {
    if (problem != nullptr) *problem = status.failure().message;
    return std::nullopt;
  }
  if (status->size > kMaxFileBytes) {
    if (problem != nullptr) *problem = "larger than " + std::to_string(kMaxFileBytes) + " bytes";
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(status->size), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const platform::Result<std::size_t> count =
        file->readAt(got, bytes.data() + got, bytes.size() - got);
    if (!count) {
      if (problem != nullptr) *problem = count.failure().message;
      return std::nullopt;
    }
    if (*count == 0) break;
    got += *count;
  }
  bytes.resize(got);
  return decode(bytes, problem);
}

}  // namespace norvid
