#include "update/MinisignVerifier.hpp"

#include <openssl/evp.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/Text.hpp"

namespace norvid::update {
namespace {

using platform::Failure;
using platform::Result;
using Bytes = std::vector<unsigned char>;

constexpr std::size_t kSignatureBytes = 64;

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using KeyOwner = std::unique_ptr<EVP_PKEY, KeyFree>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

// Standard base64 with padding, as minisign writes it; nothing when the text is not that.
std::optional<Bytes> decodeBase64(const std::string& text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  Bytes out(text.size() / 4 * 3);
  const int written =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (written < 0) return std::nullopt;
  std::size_t padding = 0;
  if (text.back() == '=') ++padding;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
  out.resize(static_cast<std::size_t>(written) - padding);
  return out;
}

bool verifyEd25519(const MinisignPublicKey& key, const unsigned char* signature,
                   const unsigned char* message, std::size_t size) {
  KeyOwner pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.key.data(), key.key.size()));
  DigestContext context(EVP_MD_CTX_new());
  if (!pkey || !context) return false;
  if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) return false;
  return EVP_DigestVerify(context.get(), signature, kSignatureBytes, message, size) == 1;
}

Result<Bytes> readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Failure{0, "cannot read " + path};
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// BLAKE2b-512 of the file, read in blocks so a large bundle is never held whole.
Result<Bytes> blake2bOfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Failure{0, "cannot read " + path};
  DigestContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_blake2b512(), nullptr) != 1) {
    return Failure{0, "BLAKE2b-512 is not available"};
  }
  std::vector<char> block(1 << 16);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    if (in.gcount() > 0 &&
        EVP_DigestUpdate(context.get(), block.data(), static_cast<std::size_t>(in.gcount())) != 1) {
      return Failure{0, "BLAKE2b-512 failed"};
    }
  }
  if (in.bad()) return Failure{0, "cannot read " + path};
  Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1) {
    return Failure{0, "BLAKE2b-512 failed"};
  }
  digest.resize(size);
  return digest;
}

}  // namespace

Result<MinisignPublicKey> MinisignVerifier::parsePublicKey(const std::string& text) {
  auto bytes = decodeBase64(platform::trimBlanks(text));
  if (!bytes || bytes->size() != 42) return Failure{0, "not a minisign public key"};
  if ((*bytes)[0] != 'E' || (*bytes)[1] != 'd') {
    return Failure{0, "unsupported minisign key algorithm"};
  }
  MinisignPublicKey key;
  std::memcpy(key.keyId.data(), bytes->data() + 2, key.keyId.size());
  std::memcpy(key.key.data(), bytes->data() + 10, key.key.size());
  return key;
}

Result<std::string> MinisignVerifier::verifyFile(const std::string& path,
                                                 const std::string& signatureText) const {
  std::istringstream lines(signatureText);
  std::string untrusted, signatureLine, trustedLine, globalLine;
  std::getline(lines, untrusted);
  std::getline(lines, signatureLine);
  std::getline(lines, trustedLine);
  std::getline(lines, globalLine);
  if (untrusted.rfind("untrusted comment:", 0) != 0) {
    return Failure{0, "signature: not a minisign signature file"};
  }
  auto signature = decodeBase64(platform::trimBlanks(signatureLine));
  if (!signature || signature->size() != 2 + 8 + kSignatureBytes) {
    return Failure{0, "signature: malformed signature line"};
  }
  const std::string trustedPrefix = "trusted comment: ";
  if (!trustedLine.empty() && trustedLine.back() == '\r') trustedLine.pop_back();
  if (trustedLine.rfind(trustedPrefix, 0) != 0) {
    return Failure{0, "signature: the trusted comment is missing"};
  }
  auto global = decodeBase64(platform::trimBlanks(globalLine));
  if (!global || global->size() != kSignatureBytes) {
    return Failure{0, "signature: the global signature is missing or malformed"};
  }

  const unsigned char* algorithm = signature->data();
  const bool prehashed = algorithm[0] == 'E' && algorithm[1] == 'D';
  const bool legacy = algorithm[0] == 'E' && algorithm[1] == 'd';
  if (!prehashed && !legacy) return Failure{0, "signature: unsupported algorithm"};
  if (std::memcmp(signature->data() + 2, key_.keyId.data(), key_.keyId.size()) != 0) {
    return Failure{0, "signature: made with another key (key id differs)"};
  }
  const unsigned char* fileSignature = signature->data() + 10;

  auto message = prehashed ? blake2bOfFile(path) : readWhole(path);
  if (!message) return Failure{0, "signature: " + message.message()};
  if (!verifyEd25519(key_, fileSignature, message->data(), message->size())) {
    return Failure{0, "signature: does not match the bundle"};
  }

  // The global signature covers the file's signature followed by the trusted comment's text.
  const std::string comment = trustedLine.substr(trustedPrefix.size());
  Bytes signedComment(fileSignature, fileSignature + kSignatureBytes);
  signedComment.insert(signedComment.end(), comment.begin(), comment.end());
  if (!verifyEd25519(key_, global->data(), signedComment.data(), signedComment.size())) {
    return Failure{0, "signature: the trusted comment's signature does not match"};
  }
  return comment;
}

}  // namespace norvid::update
