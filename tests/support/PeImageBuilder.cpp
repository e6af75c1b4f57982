#include "tests/support/PeImageBuilder.hpp"

#include <algorithm>
#include <array>
#include <numeric>
#include <stdexcept>

namespace norvid::testing {
namespace {

constexpr std::size_t kPeHeaderOffset = 0x40;
constexpr std::size_t kFileAlignment = 0x200;

void putLe16(std::string& bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<char>(value & 0xFF);
  bytes[offset + 1] = static_cast<char>(value >> 8);
}

void putLe32(std::string& bytes, std::size_t offset, std::uint32_t value) {
  for (int index = 0; index < 4; ++index) {
    bytes[offset + static_cast<std::size_t>(index)] =
        static_cast<char>((value >> (8 * index)) & 0xFF);
  }
}

std::size_t alignUp(std::size_t value) {
  return (value + kFileAlignment - 1) / kFileAlignment * kFileAlignment;
}

// Target count of every byte value: the values already most frequent get the largest counts.
std::array<std::uint64_t, 256> assignProfile(
    const std::array<std::uint64_t, 256>& present,
    const std::vector<std::pair<int, std::uint64_t>>& profile) {
  std::vector<std::uint64_t> slots;
  for (const auto& [values, count] : profile) slots.insert(slots.end(), values, count);
  if (slots.size() > 256) throw std::invalid_argument("profile has more than 256 values");
  slots.resize(256, 0);
  std::sort(slots.begin(), slots.end(), std::greater<>());
  std::array<int, 256> order;
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return present[a] > present[b]; });
  std::array<std::uint64_t, 256> target{};
  for (std::size_t rank = 0; rank < 256; ++rank) {
    const int value = order[rank];
    if (present[value] > slots[rank]) {
      throw std::invalid_argument("image already exceeds the requested byte profile");
    }
    target[value] = slots[rank];
  }
  return target;
}

}  // namespace

PeImageBuilder& PeImageBuilder::machine(std::uint16_t value) {
  machine_ = value;
  return *this;
}

PeImageBuilder& PeImageBuilder::headerOffsetField(std::int32_t value) {
  headerOffsetField_ = value;
  return *this;
}

PeImageBuilder& PeImageBuilder::announcedSections(std::uint16_t count) {
  announcedSections_ = count;
  return *this;
}

PeImageBuilder& PeImageBuilder::optionalHeaderSize(std::uint16_t size) {
  optionalHeaderSize_ = size;
  return *this;
}

PeImageBuilder& PeImageBuilder::section(Section section) {
  sections_.push_back(std::move(section));
  return *this;
}

PeImageBuilder& PeImageBuilder::section(const std::string& name, std::uint32_t characteristics,
                                        std::string data) {
  Section entry;
  entry.name = name;
  entry.characteristics = characteristics;
  entry.data = std::move(data);
  return section(std::move(entry));
}

std::string PeImageBuilder::build() const {
  const std::size_t tableOffset = kPeHeaderOffset + 24 + optionalHeaderSize_;
  const std::size_t headersEnd = tableOffset + 40 * sections_.size();
  std::string image(alignUp(headersEnd), '\0');

  image[0] = 'M';
  image[1] = 'Z';
  putLe32(image, 0x3C, static_cast<std::uint32_t>(headerOffsetField_.value_or(kPeHeaderOffset)));
  image.replace(kPeHeaderOffset, 4, std::string("PE\0\0", 4));
  putLe16(image, kPeHeaderOffset + 4, machine_);
  putLe16(image, kPeHeaderOffset + 6,
          announcedSections_.value_or(static_cast<std::uint16_t>(sections_.size())));
  putLe16(image, kPeHeaderOffset + 20, optionalHeaderSize_);
  putLe16(image, kPeHeaderOffset + 22, 0x0102);
  if (optionalHeaderSize_ >= 2) putLe16(image, kPeHeaderOffset + 24, 0x010B);

  for (std::size_t index = 0; index < sections_.size(); ++index) {
    const Section& section = sections_[index];
    const std::size_t header = tableOffset + 40 * index;
    const std::size_t dataOffset = image.size();
    image.replace(header, std::min<std::size_t>(section.name.size(), 8), section.name, 0, 8);
    const auto dataSize = static_cast<std::uint32_t>(section.data.size());
    putLe32(image, header + 8, section.virtualSize.value_or(dataSize));
    putLe32(image, header + 12, static_cast<std::uint32_t>(0x1000 * (index + 1)));
    putLe32(image, header + 16, section.rawSize.value_or(dataSize));
    putLe32(image, header + 20,
            section.rawPointer.value_or(static_cast<std::uint32_t>(dataOffset)));
    putLe32(image, header + 36, section.characteristics);
    image += section.data;
    image.resize(alignUp(image.size()), '\0');
  }
  return image;
}

std::string PeImageBuilder::padToProfile(
    std::string image, const std::vector<std::pair<int, std::uint64_t>>& profile) {
  std::array<std::uint64_t, 256> present{};
  for (char byte : image) ++present[static_cast<std::uint8_t>(byte)];
  const std::array<std::uint64_t, 256> target = assignProfile(present, profile);
  for (int value = 0; value < 256; ++value) {
    image.append(target[value] - present[value], static_cast<char>(value));
  }
  return image;
}

std::string PeImageBuilder::bytesWithProfile(
    const std::vector<std::pair<int, std::uint64_t>>& profile) {
  return padToProfile(std::string(), profile);
}

}  // namespace norvid::testing
