#pragma once

#include <cstdio>
#include <cstdlib>

namespace norvid::fuzzing {

// Stops the run as a crash when a property of the code under test does not hold, so that the
// fuzzer keeps the input that broke it.
inline void require(bool condition, const char* property) {
  if (condition) return;
  std::fprintf(stderr, "fuzz property violated: %s\n", property);
  std::abort();
}

}  // namespace norvid::fuzzing
