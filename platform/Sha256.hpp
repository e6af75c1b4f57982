#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace norvid::platform {

// Incremental SHA-256. Feed the bytes with update() and take the digest once with finishHex().
// Move-only: it owns the library's digest context.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // False once any step has failed; the digest is then unavailable.
  bool ok() const { return ok_; }

  void update(const void* data, std::size_t size);

  // 64 lower-case hexadecimal digits, or empty when any step failed.
  std::string finishHex();

  // The digest of a whole string.
  static std::string ofText(const std::string& text);

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  bool ok_ = false;
};

}  // namespace norvid::platform
