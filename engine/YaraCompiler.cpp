#include "engine/YaraCompiler.hpp"

#include <utility>

namespace norvid {

YaraCompiler YaraCompiler::create(int& code) {
  YR_COMPILER* compiler = nullptr;
  code = yr_compiler_create(&compiler);
  if (code != ERROR_SUCCESS) {
    if (compiler != nullptr) yr_compiler_destroy(compiler);
    return YaraCompiler();
  }
  return YaraCompiler(compiler);
}

YaraCompiler::~YaraCompiler() { reset(); }

YaraCompiler::YaraCompiler(YaraCompiler&& other) noexcept
    : compiler_(std::exchange(other.compiler_, nullptr)) {}

YaraCompiler& YaraCompiler::operator=(YaraCompiler&& other) noexcept {
  if (this != &other) {
    reset();
    compiler_ = std::exchange(other.compiler_, nullptr);
  }
  return *this;
}

void YaraCompiler::reset() {
  if (compiler_ != nullptr) {
    yr_compiler_destroy(compiler_);
    compiler_ = nullptr;
  }
}

}  // namespace norvid
