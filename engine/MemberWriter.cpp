#include "engine/MemberWriter.hpp"

#include <iostream>
#include <stdexcept>

#include "engine/ArchiveBombException.hpp"
#include "platform/SystemError.hpp"

namespace norvid {
namespace fs = std::filesystem;

MemberWriter::MemberWriter(const ArchiveLimits& limits, std::uint64_t containerSize,
                           ExtractionBudget& budget, const std::string& destination)
    : limits_(limits), expansion_(limits, containerSize, budget) {
  destination_ = fs::path(destination).lexically_normal();
  if (!destination_.has_filename()) destination_ = destination_.parent_path();
  created_.createDirectories(destination_);
  root_ = fs::canonical(destination_);
}

bool MemberWriter::begin(const std::string& name, std::uint64_t declared) {
  file_ = platform::FileHandle();
  if (++entries_ > limits_.maxEntries) {
    throw avwindows::ArchiveBombException("Archive exceeds maximum file count: " +
                                          std::to_string(limits_.maxEntries));
  }
  if (declared > limits_.maxEntrySize) {
    std::cerr << "[WARN] Archivo demasiado grande, omitiendo: " << name << " (" << declared
              << " bytes)" << std::endl;
    return false;
  }
  expansion_.startEntry(name, declared);

  fs::path relative = ExtractionPaths::safeRelativePath(name);
  if (relative.empty()) relative = "member" + std::to_string(entries_);
  fs::path target = destination_ / relative;
  std::string error;
  try {
    if (target.has_parent_path()) created_.createDirectories(target.parent_path());
    if (!ExtractionPaths::liesInside(fs::weakly_canonical(target), root_)) {
      std::cerr << "[WARN] Path traversal attempt detected, skipping: " << name << std::endl;
      return false;
    }
    if (ExtractionPaths::exists(target)) target = ExtractionPaths::freeNameFor(target);
    platform::Result<platform::FileHandle> created = platform::FileHandle::createExclusively(
        target.string(), fs::perms::owner_read | fs::perms::owner_write,
        platform::DirectoryLinks::Refuse);
    error = created.message();
    file_ = std::move(created).value_or(platform::FileHandle());
  } catch (const fs::filesystem_error& failure) {
    error = platform::errnoText(failure.code().value());
  }
  if (!file_.isOpen()) {
    std::cerr << "[WARN] Cannot place archive entry, skipping: " << name << " (" << error << ")"
              << std::endl;
    return false;
  }
  created_.add(target);
  current_ = target;
  written_ = 0;
  return true;
}

void MemberWriter::write(const void* data, std::size_t size) {
  if (size == 0) return;
  expansion_.reach(written_ + size);
  if (platform::Result<> written = file_.writeAll(static_cast<const char*>(data), size); !written) {
    throw std::runtime_error("Cannot write archive member " + current_.string() + ": " +
                             written.message());
  }
  written_ += size;
}

void MemberWriter::wrote(std::uint64_t bytes) {
  written_ += bytes;
  expansion_.reach(written_);
}

void MemberWriter::finish() {
  if (!file_.isOpen()) return;
  if (platform::Result<> closed = file_.close(); !closed) {
    throw std::runtime_error("Cannot write archive member " + current_.string() + ": " +
                             closed.message());
  }
  files_.push_back(current_.string());
}

std::vector<std::string> MemberWriter::complete() {
  file_ = platform::FileHandle();
  created_.keep();
  return std::move(files_);
}

}  // namespace norvid
