#pragma once

#include <yara.h>

namespace norvid {

// Move-only owner of a libyara compiler; destroys it when it goes away. Rule sets obtained from
// it stay valid after that. Every compiler comes with the scan variables declared.
class YaraCompiler {
 public:
  // Creates a compiler. On failure the result is empty and `code` holds libyara's error code.
  static YaraCompiler create(int& code);

  YaraCompiler() = default;
  ~YaraCompiler();
  YaraCompiler(YaraCompiler&& other) noexcept;
  YaraCompiler& operator=(YaraCompiler&& other) noexcept;
  YaraCompiler(const YaraCompiler&) = delete;
  YaraCompiler& operator=(const YaraCompiler&) = delete;

  YR_COMPILER* get() const { return compiler_; }
  explicit operator bool() const { return compiler_ != nullptr; }

 private:
  explicit YaraCompiler(YR_COMPILER* compiler) : compiler_(compiler) {}
  void reset();

  YR_COMPILER* compiler_ = nullptr;
};

}  // namespace norvid
