#include "engine/ScanVariables.hpp"

#include <yara.h>

#include <array>
#include <cstring>
#include <utility>

namespace norvid {
namespace {

struct Variable {
  const char* name;
  std::string ScanVariables::*value;
};

constexpr std::array<Variable, 5> kVariables{{
    {"filename", &ScanVariables::filename},
    {"filepath", &ScanVariables::filepath},
    {"extension", &ScanVariables::extension},
    {"filetype", &ScanVariables::filetype},
    {"owner", &ScanVariables::owner},
}};

struct Signature {
  const char* bytes;
  std::size_t length;
  const char* type;
};

// Compound files are told apart afterwards by the class of their root storage.
const char kCompoundFile[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";

const std::array<Signature, 8> kSignatures{{
    {"MZ", 2, "EXE"},
    {"\x7F"
     "ELF",
     4, "ELF"},
    {"PK", 2, "ZIP"},
    {"%PDF", 4, "PDF"},
    {"Rar!", 4, "RAR"},
    {"7z\xBC\xAF\x27\x1C", 6, "7Z"},
    {"\x1F\x8B", 2, "GZIP"},
    {"#!", 2, "SCRIPT"},
}};

std::uint32_t littleEndian(const unsigned char* bytes, std::size_t count) {
  std::uint32_t value = 0;
  for (std::size_t i = count; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

// The class id of a Windows Installer database (an .msi), as stored in a compound file.
const unsigned char kInstallerClass[16] = {0x84, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// "MSI" when the root storage of the compound file has the installer's class, else "OLE".
std::string compoundFileType(const ScanVariables::ByteReader& read) {
  unsigned char header[0x34];
  if (read(0, header, sizeof header) != sizeof header) return "OLE";
  const std::uint32_t shift = littleEndian(header + 0x1E, 2);
  if (shift < 7 || shift > 16) return "OLE";
  const std::uint64_t sectorSize = std::uint64_t{1} << shift;
  const std::uint32_t directorySector = littleEndian(header + 0x30, 4);
  if (directorySector >= 0xFFFFFFFA) return "OLE";
  // The root entry is the first of the first directory sector; its class id is at 0x50.
  const std::uint64_t classAt = (std::uint64_t{directorySector} + 1) * sectorSize + 0x50;
  unsigned char classId[16];
  if (read(classAt, classId, sizeof classId) != sizeof classId) return "OLE";
  return std::memcmp(classId, kInstallerClass, sizeof classId) == 0 ? "MSI" : "OLE";
}

}  // namespace

ScanVariables ScanVariables::forPath(const std::string& path, std::string owner) {
  ScanVariables variables;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    variables.filename = path;
  } else {
    variables.filename = path.substr(slash + 1);
    variables.filepath = slash == 0 ? "/" : path.substr(0, slash);
  }
  variables.extension = extensionOf(variables.filename);
  variables.owner = std::move(owner);
  return variables;
}

std::string ScanVariables::extensionOf(const std::string& fileName) {
  const std::size_t dot = fileName.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  std::string extension = fileName.substr(dot);
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

std::string ScanVariables::fileTypeOf(const ByteReader& read) {
  unsigned char head[8] = {};
  const std::size_t length = read(0, head, sizeof head);
  if (length == sizeof head && std::memcmp(head, kCompoundFile, sizeof head) == 0) {
    return compoundFileType(read);
  }
  for (const Signature& signature : kSignatures) {
    if (length >= signature.length && std::memcmp(head, signature.bytes, signature.length) == 0) {
      return signature.type;
    }
  }
  return "";
}

int ScanVariables::declareOn(_YR_COMPILER* compiler) {
  for (const Variable& variable : kVariables) {
    const int code = yr_compiler_define_string_variable(compiler, variable.name, "");
    if (code != ERROR_SUCCESS) return code;
  }
  return ERROR_SUCCESS;
}

void ScanVariables::defineOn(YR_SCAN_CONTEXT* scanner) const {
  for (const Variable& variable : kVariables) {
    yr_scanner_define_string_variable(scanner, variable.name, (this->*variable.value).c_str());
  }
}

}  // namespace norvid
