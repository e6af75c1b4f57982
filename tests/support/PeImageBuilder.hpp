#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace norvid::testing {

// Builds small synthetic PE images byte by byte: a DOS header, the PE signature with a COFF
// header, an optional header of zeros, the section table and the sections' raw data. Every
// field can be made to lie, for tests of malformed headers.
class PeImageBuilder {
 public:
  static constexpr std::uint32_t kExecute = 0x20000000;
  static constexpr std::uint32_t kRead = 0x40000000;
  static constexpr std::uint32_t kWrite = 0x80000000;
  static constexpr std::uint16_t kMachineI386 = 0x014C;
  static constexpr std::uint16_t kMachineAmd64 = 0x8664;

  struct Section {
    std::string name;
    std::uint32_t characteristics = kRead;
    // Raw data placed in the file.
    std::string data;
    // Header fields; by default the data's size and its position in the file.
    std::optional<std::uint32_t> virtualSize;
    std::optional<std::uint32_t> rawSize;
    std::optional<std::uint32_t> rawPointer;
  };

  PeImageBuilder& machine(std::uint16_t value);
  // Writes this value as the header offset instead of the real one (the header stays at 0x40).
  PeImageBuilder& headerOffsetField(std::int32_t value);
  // Announces this many sections instead of the number added.
  PeImageBuilder& announcedSections(std::uint16_t count);
  PeImageBuilder& optionalHeaderSize(std::uint16_t size);
  PeImageBuilder& section(Section section);
  PeImageBuilder& section(const std::string& name, std::uint32_t characteristics, std::string data);

  std::string build() const;

  // Appends filler bytes to `image` so that its byte histogram becomes exactly `profile`: for
  // each (values, count) pair, that many distinct byte values occurring `count` times each; all
  // other values do not occur. Throws when the image already holds more of a value than the
  // profile allows.
  static std::string padToProfile(std::string image,
                                  const std::vector<std::pair<int, std::uint64_t>>& profile);

  // Bytes whose histogram is exactly `profile` (as above), in a fixed order.
  static std::string bytesWithProfile(const std::vector<std::pair<int, std::uint64_t>>& profile);

 private:
  std::uint16_t machine_ = kMachineI386;
  std::optional<std::int32_t> headerOffsetField_;
  std::optional<std::uint16_t> announcedSections_;
  std::uint16_t optionalHeaderSize_ = 224;
  std::vector<Section> sections_;
};

}  // namespace norvid::testing
