#pragma once

#include <string>

namespace norvid::testing {

// A passwordless minisign key pair made by the real tool in `directory`.
class MinisignKeys {
 public:
  MinisignKeys(const std::string& directory, const std::string& name);

  // The public key's base64 text, as a feed's minisign_key holds it.
  const std::string& publicKey() const { return publicKey_; }

  // Signs `file` into `file`.minisig (or `signature` when given); prehashed unless `legacy`.
  void sign(const std::string& file, bool legacy = false, const std::string& signature = "",
            const std::string& trustedComment = "norvid test bundle") const;

 private:
  std::string secretPath_;
  std::string publicKey_;
};

}  // namespace norvid::testing
