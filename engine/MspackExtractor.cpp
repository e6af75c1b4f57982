#include "engine/MspackExtractor.hpp"

#include <mspack.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace norvid {
namespace {

// The only names libmspack is given: the container, and the current member.
constexpr const char* kInputName = "norvid:container";
constexpr const char* kOutputName = "norvid:member";

// libmspack's I/O table first, so that the library's pointer leads back to the rest.
struct System {
  mspack_system table;
  std::FILE* input;
  MemberWriter* writer;
  std::exception_ptr failure;
};

// libmspack leaves the layout of its file handles to the I/O table that opens them.
struct OpenFile {
  System* system;
  bool output;
  off_t position;
};

System* systemOf(mspack_system* self) { return reinterpret_cast<System*>(self); }
OpenFile* fileOf(mspack_file* file) { return reinterpret_cast<OpenFile*>(file); }

mspack_file* openFile(mspack_system* self, const char* filename, int mode) {
  if (filename == nullptr) return nullptr;
  const bool input = mode == MSPACK_SYS_OPEN_READ && std::strcmp(filename, kInputName) == 0;
  const bool output = mode == MSPACK_SYS_OPEN_WRITE && std::strcmp(filename, kOutputName) == 0;
  if (!input && !output) return nullptr;
  return reinterpret_cast<mspack_file*>(new (std::nothrow) OpenFile{systemOf(self), output, 0});
}

void closeFile(mspack_file* handle) { delete fileOf(handle); }

int readFile(mspack_file* handle, void* buffer, int bytes) {
  OpenFile* file = fileOf(handle);
  if (file == nullptr || file->output || bytes < 0) return -1;
  std::FILE* input = file->system->input;
  if (::fseeko(input, file->position, SEEK_SET) != 0) return -1;
  const std::size_t count = std::fread(buffer, 1, static_cast<std::size_t>(bytes), input);
  if (count == 0 && std::ferror(input)) return -1;
  file->position += static_cast<off_t>(count);
  return static_cast<int>(count);
}

// Every byte the library unpacks goes through the member writer's limits; an exception cannot
// cross the library, so it is kept and raised again once the library has returned.
int writeFile(mspack_file* handle, void* buffer, int bytes) {
  OpenFile* file = fileOf(handle);
  if (file == nullptr || !file->output || bytes < 0) return -1;
  try {
    file->system->writer->write(buffer, static_cast<std::size_t>(bytes));
  } catch (...) {
    if (!file->system->failure) file->system->failure = std::current_exception();
    return -1;
  }
  file->position += bytes;
  return bytes;
}

int seekFile(mspack_file* handle, off_t offset, int mode) {
  OpenFile* file = fileOf(handle);
  if (file == nullptr || file->output) return -1;
  off_t base = 0;
  if (mode == MSPACK_SYS_SEEK_CUR) {
    base = file->position;
  } else if (mode == MSPACK_SYS_SEEK_END) {
    std::FILE* input = file->system->input;
    if (::fseeko(input, 0, SEEK_END) != 0) return -1;
    base = ::ftello(input);
  } else if (mode != MSPACK_SYS_SEEK_START) {
    return -1;
  }
  if (base < 0 || (offset < 0 && -offset > base)) return -1;
  file->position = base + offset;
  return 0;
}

off_t tellFile(mspack_file* handle) { return handle != nullptr ? fileOf(handle)->position : -1; }

void ignoreMessage(mspack_file*, const char*, ...) {}
// Zeroed, because libmspack frees header fields it has not set yet when a header is cut short.
void* allocate(mspack_system*, size_t bytes) { return std::calloc(1, bytes); }
void release(void* pointer) { std::free(pointer); }
void copyBytes(void* source, void* destination, size_t bytes) {
  std::memmove(destination, source, bytes);
}

void raiseKeptFailure(System& system) {
  if (system.failure) std::rethrow_exception(std::exchange(system.failure, nullptr));
}

void warnOnError(int error) {
  if (error != MSPACK_ERR_OK) {
    std::cerr << "[WARN] Error reading data: libmspack error " << error << std::endl;
  }
}

std::string baseName(const std::string& name) {
  return std::filesystem::path(name).filename().string();
}

// One libmspack decompressor (CHM, SZDD or KWAJ) with the container it opened; both are released
// on every path.
template <typename Decompressor, typename Header>
class OpenedContainer {
 public:
  OpenedContainer(System& system, Decompressor* (*create)(mspack_system*),
                  void (*destroy)(Decompressor*), const std::string& name)
      : system_(system), decompressor_(create(&system.table), destroy) {
    if (!decompressor_) throw std::runtime_error("Failed to create archive objects");
    Decompressor* decompressor = decompressor_.get();
    header_ = Owner(decompressor->open(decompressor, kInputName),
                    [decompressor](Header* opened) { decompressor->close(decompressor, opened); });
    if (!header_) {
      throw std::runtime_error("Failed to open archive: " + name + " (libmspack error " +
                               std::to_string(decompressor->last_error(decompressor)) + ")");
    }
  }

  Header& header() const { return *header_; }

  // Unpacks `what` (the header of a single-file format, a file of a CHM) as the member `name`.
  template <typename Item>
  void extractMember(Item* what, const std::string& name, off_t length, MemberWriter& writer) {
    if (!writer.begin(name, static_cast<std::uint64_t>(std::max<off_t>(length, 0)))) return;
    Decompressor* decompressor = decompressor_.get();
    const int error = decompressor->extract(decompressor, what, kOutputName);
    raiseKeptFailure(system_);
    warnOnError(error);
    writer.finish();
  }

 private:
  using Owner = std::unique_ptr<Header, std::function<void(Header*)>>;

  System& system_;
  std::unique_ptr<Decompressor, void (*)(Decompressor*)> decompressor_;
  Owner header_;
};

void extractChm(System& system, const std::string& name, MemberWriter& writer) {
  OpenedContainer<mschm_decompressor, mschmd_header> chm(system, mspack_create_chm_decompressor,
                                                         mspack_destroy_chm_decompressor, name);
  std::vector<mschmd_file*> files;
  for (mschmd_file* file = chm.header().files; file != nullptr; file = file->next) {
    const std::size_t length = file->filename != nullptr ? std::strlen(file->filename) : 0;
    if (length == 0 || file->filename[length - 1] == '/') continue;
    files.push_back(file);
  }
  // In the order of their data, so that the compressed section is unpacked once from start to end
  // instead of again for every file.
  std::stable_sort(files.begin(), files.end(), [](const mschmd_file* a, const mschmd_file* b) {
    return a->section->id != b->section->id ? a->section->id < b->section->id
                                            : a->offset < b->offset;
  });
  for (mschmd_file* file : files) chm.extractMember(file, file->filename, file->length, writer);
}

void extractSzdd(System& system, const std::string& name, MemberWriter& writer) {
  OpenedContainer<msszdd_decompressor, msszddd_header> szdd(system, mspack_create_szdd_decompressor,
                                                            mspack_destroy_szdd_decompressor, name);
  // COMPRESS.EXE names its output after the original with the last letter replaced by "_" and
  // keeps that letter in the header ("SETUP.EX_" holds "SETUP.EXE").
  std::string member = baseName(name);
  if (!member.empty() && member.back() == '_') {
    member.pop_back();
    if (szdd.header().missing_char != '\0') member += szdd.header().missing_char;
  }
  szdd.extractMember(&szdd.header(), member, szdd.header().length, writer);
}

void extractKwaj(System& system, const std::string& name, MemberWriter& writer) {
  OpenedContainer<mskwaj_decompressor, mskwajd_header> kwaj(system, mspack_create_kwaj_decompressor,
                                                            mspack_destroy_kwaj_decompressor, name);
  const char* original = kwaj.header().filename;
  std::string member = original != nullptr ? baseName(original) : "";
  if (member.empty()) member = std::filesystem::path(baseName(name)).stem().string();
  kwaj.extractMember(&kwaj.header(), member, kwaj.header().length, writer);
}

}  // namespace

void MspackExtractor::extract(const platform::DescriptorStream& input, const std::string& format,
                              const std::string& name, MemberWriter& writer) {
  System system{{openFile, closeFile, readFile, writeFile, seekFile, tellFile, ignoreMessage,
                 allocate, release, copyBytes, nullptr},
                input.get(),
                &writer,
                nullptr};
  if (format == "chm") {
    extractChm(system, name, writer);
  } else if (format == "szdd") {
    extractSzdd(system, name, writer);
  } else if (format == "kwaj") {
    extractKwaj(system, name, writer);
  } else {
    throw std::invalid_argument("not a libmspack format: " + format);
  }
}

}  // namespace norvid
