#include "engine/YaraCompiler.hpp"

#include <utility>

#include "engine/ScanVariables.hpp"

namespace norvid {

YaraCompiler YaraCompiler::create(int& code) {
  YR_COMPILER* compiler = nullptr;
  code = yr_compiler_create(&compiler);
  if (code != ERROR_SUCCESS) {
    if (compiler != nullptr) yr_compiler_destroy(compiler);
    return YaraCompiler();
  }
  YaraCompiler owned(compiler);
  code = ScanVariables::declareOn(compiler);
  if (code != ERROR_SUCCESS) return YaraCompiler();
  return owned;
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
