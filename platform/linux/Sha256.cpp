#include "platform/Sha256.hpp"

#include <openssl/evp.h>

#include <utility>

namespace norvid::platform {

struct Sha256::Context {
  EVP_MD_CTX* digest = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(digest); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  ok_ = context_->digest != nullptr &&
        EVP_DigestInit_ex(context_->digest, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&& other) noexcept : context_(std::move(other.context_)), ok_(other.ok_) {
  other.ok_ = false;
}

Sha256& Sha256::operator=(Sha256&& other) noexcept {
  context_ = std::move(other.context_);
  ok_ = other.ok_;
  other.ok_ = false;
  return *this;
}

void Sha256::update(const void* data, std::size_t size) {
  if (ok_ && size > 0) ok_ = EVP_DigestUpdate(context_->digest, data, size) == 1;
}

std::string Sha256::finishHex() {
  if (!ok_) return {};
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  ok_ = false;
  if (EVP_DigestFinal_ex(context_->digest, value, &length) != 1) return {};
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kDigits[value[i] >> 4]);
    text.push_back(kDigits[value[i] & 0x0f]);
  }
  return text;
}

std::string Sha256::ofText(const std::string& text) {
  Sha256 hash;
  hash.update(text.data(), text.size());
  return hash.finishHex();
}

}  // namespace norvid::platform
