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

off_t tellFile(mspack_file* handle) {
  return handle != nullptr ? fileOf(handle)->position : -1;
}

void ignoreMessage(mspack_file*, const char*, ...) {}
void* allocate(mspack_system*, size_t bytes) { return std::malloc(bytes); }
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

void extractChm(System& system, const std::string& name, MemberWriter& writer) {
  std::unique_ptr<mschm_decompressor, void (*)(mschm_decompressor*)> decompressor(
      mspack_create_chm_decompressor(&system.table), mspack_destroy_chm_decompressor);
  if (!decompressor) throw std::runtime_error("Failed to create archive objects");
  mschm_decompressor* chm = decompressor.get();
  std::unique_ptr<mschmd_header, std::function<void(mschmd_header*)>> header(
      chm->open(chm, kInputName), [chm](mschmd_header* opened) { chm->close(chm, opened); });
  if (!header) {
    throw std::runtime_error("Failed to open archive: " + name + " (libmspack error " +
                             std::to_string(chm->last_error(chm)) + ")");
  }
  std::vector<mschmd_file*> files;
  for (mschmd_file* file = header->files; file != nullptr; file = file->next) {
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
  for (mschmd_file* file : files) {
    if (!writer.begin(file->filename, static_cast<std::uint64_t>(std::max<off_t>(file->length, 0))))
      continue;
    const int error = chm->extract(chm, file, kOutputName);
    raiseKeptFailure(system);
    warnOnError(error);
    writer.finish();
  }
}

void extractSzdd(System& system, const std::string& name, MemberWriter& writer) {
  std::unique_ptr<msszdd_decompressor, void (*)(msszdd_decompressor*)> decompressor(
      mspack_create_szdd_decompressor(&system.table), mspack_destroy_szdd_decompressor);
  if (!decompressor) throw std::runtime_error("Failed to create archive objects");
  msszdd_decompressor* szdd = decompressor.get();
  std::unique_ptr<msszddd_header, std::function<void(msszddd_header*)>> header(
      szdd->open(szdd, kInputName), [szdd](msszddd_header* opened) { szdd->close(szdd, opened); });
  if (!header) {
    throw std::runtime_error("Failed to open archive: " + name + " (libmspack error " +
                             std::to_string(szdd->last_error(szdd)) + ")");
  }
  // COMPRESS.EXE names its output after the original with the last letter replaced by "_" and
  // keeps that letter in the header ("SETUP.EX_" holds "SETUP.EXE").
  std::string member = baseName(name);
  if (!member.empty() && member.back() == '_') {
    member.pop_back();
    if (header->missing_char != '\0') member += header->missing_char;
  }
  if (!writer.begin(member, static_cast<std::uint64_t>(std::max<off_t>(header->length, 0)))) return;
  const int error = szdd->extract(szdd, header.get(), kOutputName);
  raiseKeptFailure(system);
  warnOnError(error);
  writer.finish();
}

void extractKwaj(System& system, const std::string& name, MemberWriter& writer) {
  std::unique_ptr<mskwaj_decompressor, void (*)(mskwaj_decompressor*)> decompressor(
      mspack_create_kwaj_decompressor(&system.table), mspack_destroy_kwaj_decompressor);
  if (!decompressor) throw std::runtime_error("Failed to create archive objects");
  mskwaj_decompressor* kwaj = decompressor.get();
  std::unique_ptr<mskwajd_header, std::function<void(mskwajd_header*)>> header(
      kwaj->open(kwaj, kInputName), [kwaj](mskwajd_header* opened) { kwaj->close(kwaj, opened); });
  if (!header) {
    throw std::runtime_error("Failed to open archive: " + name + " (libmspack error " +
                             std::to_string(kwaj->last_error(kwaj)) + ")");
  }
  std::string member = header->filename != nullptr ? baseName(header->filename) : "";
  if (member.empty()) member = std::filesystem::path(baseName(name)).stem().string();
  if (!writer.begin(member, static_cast<std::uint64_t>(std::max<off_t>(header->length, 0)))) return;
  const int error = kwaj->extract(kwaj, header.get(), kOutputName);
  raiseKeptFailure(system);
  warnOnError(error);
  writer.finish();
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
