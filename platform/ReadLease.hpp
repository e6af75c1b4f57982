#pragma once

#include "platform/SystemError.hpp"

namespace norvid::platform {

// A read lease on an open file: the kernel grants it only while nobody has the file open for
// writing (a shared writable mapping counts, even after its descriptor was closed), and breaks it
// as soon as someone opens the file for writing. Held across a scan, it proves that no write
// could have slipped past the file's times while the scan read it.
//
// A writer that arrives while the lease is held waits until the lease is released (or the
// kernel's lease-break time passes), so hold it only for the scan of one file.
class ReadLease {
 public:
  ReadLease() = default;
  // Takes a read lease on `descriptor`, which must be open read-only. Fails with EAGAIN while
  // someone has the file open for writing, and with EINVAL or EACCES where the file system or the
  // process's capabilities (CAP_LEASE for files of other owners) do not allow leases.
  static Result<ReadLease> take(int descriptor);

  ~ReadLease() { release(); }
  ReadLease(ReadLease&& other) noexcept : descriptor_(other.descriptor_) { other.descriptor_ = -1; }
  ReadLease& operator=(ReadLease&& other) noexcept;
  ReadLease(const ReadLease&) = delete;
  ReadLease& operator=(const ReadLease&) = delete;

  // True while the lease is held and no writer has asked to break it.
  bool intact() const;
  // Gives the lease back, letting a waiting writer go on at once.
  void release();

 private:
  explicit ReadLease(int descriptor) : descriptor_(descriptor) {}

  int descriptor_ = -1;
};

}  // namespace norvid::platform
