#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/SystemError.hpp"

namespace norvid::update {

// A minisign public key: the algorithm tag "Ed", an 8-byte key id and the Ed25519 key.
struct MinisignPublicKey {
  std::array<unsigned char, 8> keyId{};
  std::array<unsigned char, 32> key{};
};

// Checks minisign signatures with OpenSSL: the prehashed algorithm "ED" (Ed25519 over the
// file's BLAKE2b-512) and the legacy "Ed" (Ed25519 over the whole file), the key id, and the
// global signature that binds the trusted comment to the file's signature.
class MinisignVerifier {
 public:
  explicit MinisignVerifier(MinisignPublicKey key) : key_(key) {}

  // The key from its base64 text ("RW..."), as a public key file's second line holds it.
  static platform::Result<MinisignPublicKey> parsePublicKey(const std::string& text);

  // Verifies the file at `path` against the text of its .minisig file. On success the value is
  // the trusted comment; the failure says what did not match.
  platform::Result<std::string> verifyFile(const std::string& path,
                                           const std::string& signatureText) const;

 private:
  MinisignPublicKey key_;
};

}  // namespace norvid::update
