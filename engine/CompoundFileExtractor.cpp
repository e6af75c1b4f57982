#include "engine/CompoundFileExtractor.hpp"

#include <gsf/gsf.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>

#include "engine/GObjectRef.hpp"

namespace norvid {
namespace {

// Storages nested deeper than this are not walked further.
constexpr int kMaxStorageDepth = 64;
constexpr gsf_off_t kChunkSize = 64 * 1024;

// Where libgsf finds the root storage's directory entry: after the 512-byte header, at the first
// directory sector, whose size the header gives as a power of two.
constexpr gsf_off_t kHeaderSize = 0x200;
constexpr gsf_off_t kSectorShiftOffset = 0x1E;
constexpr gsf_off_t kFirstDirectorySectorOffset = 0x30;
constexpr gsf_off_t kLeftSiblingOffset = 0x44;
constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

std::uint32_t littleEndian(const guint8* bytes, std::size_t length) {
  std::uint32_t value = 0;
  for (std::size_t i = length; i > 0; --i) value = value << 8 | bytes[i - 1];
  return value;
}

// True when the root storage's entry names siblings (left or right) other than itself. The
// format allows none; libgsf reads such siblings into entries that belong to no storage and never
// frees them, so every such file would leak a little of the service's memory. Reads only what
// libgsf reads itself; a header too short or out of range is left for libgsf to refuse.
bool rootHasSiblings(GsfInput* source) {
  guint8 header[kFirstDirectorySectorOffset + 4];
  if (gsf_input_seek(source, 0, G_SEEK_SET) ||
      gsf_input_read(source, sizeof header, header) == nullptr) {
    return false;
  }
  const std::uint32_t shift = littleEndian(header + kSectorShiftOffset, 2);
  if (shift < 6 || shift > 30) return false;
  const std::uint64_t entry =
      static_cast<std::uint64_t>(kHeaderSize) +
      (static_cast<std::uint64_t>(littleEndian(header + kFirstDirectorySectorOffset, 4)) << shift);
  guint8 siblings[8];
  if (entry > static_cast<std::uint64_t>(gsf_input_size(source)) ||
      gsf_input_seek(source, static_cast<gsf_off_t>(entry) + kLeftSiblingOffset, G_SEEK_SET) ||
      gsf_input_read(source, sizeof siblings, siblings) == nullptr) {
    return false;
  }
  for (const std::uint32_t sibling : {littleEndian(siblings, 4), littleEndian(siblings + 4, 4)}) {
    if (sibling != kNoStream && sibling != 0) return true;
  }
  return false;
}

void initialiseGsf() {
  static std::once_flag once;
  std::call_once(once, [] { gsf_init(); });
}

void copyStream(GsfInput* stream, const std::string& path, MemberWriter& writer) {
  const gsf_off_t size = std::max<gsf_off_t>(gsf_input_size(stream), 0);
  if (!writer.begin(path, static_cast<std::uint64_t>(size))) return;
  for (gsf_off_t done = 0; done < size;) {
    const gsf_off_t chunk = std::min(kChunkSize, size - done);
    const guint8* data = gsf_input_read(stream, static_cast<size_t>(chunk), nullptr);
    if (data == nullptr) break;
    writer.write(data, static_cast<std::size_t>(chunk));
    done += chunk;
  }
  writer.finish();
}

void walk(GsfInfile* storage, const std::string& prefix, int depth, MemberWriter& writer) {
  if (depth > kMaxStorageDepth) return;
  const int count = gsf_infile_num_children(storage);
  for (int index = 0; index < count; ++index) {
    GObjectRef<GsfInput> child(gsf_infile_child_by_index(storage, index));
    if (!child) continue;
    const char* rawName = gsf_infile_name_by_index(storage, index);
    const std::string path = prefix + (rawName != nullptr ? rawName : "stream");
    if (GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0) {
      walk(GSF_INFILE(child.get()), path + "/", depth + 1, writer);
    } else {
      copyStream(child.get(), path, writer);
    }
  }
}

}  // namespace

void CompoundFileExtractor::extract(const platform::DescriptorStream& input,
                                    const std::string& name, MemberWriter& writer) {
  initialiseGsf();
  GObjectRef<GsfInput> source(gsf_input_stdio_new_FILE(name.c_str(), input.get(), TRUE));
  if (!source) throw std::runtime_error("Failed to open archive: cannot read " + name);
  if (rootHasSiblings(source.get())) {
    throw std::runtime_error("Failed to open archive: the root storage of " + name +
                             " has siblings");
  }
  GError* error = nullptr;
  GObjectRef<GsfInfile> root(gsf_infile_msole_new(source.get(), &error));
  if (!root) {
    const std::string text = error != nullptr ? error->message : "not a compound file";
    if (error != nullptr) g_error_free(error);
    throw std::runtime_error("Failed to open archive: " + text);
  }
  walk(root.get(), "", 0, writer);
}

}  // namespace norvid
