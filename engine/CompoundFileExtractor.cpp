#include "engine/CompoundFileExtractor.hpp"

#include <gsf/gsf.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "engine/GObjectRef.hpp"

namespace norvid {
namespace {

// Storages nested deeper than this are not walked further.
constexpr int kMaxStorageDepth = 64;
constexpr gsf_off_t kChunkSize = 64 * 1024;

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
