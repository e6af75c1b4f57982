#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Defines libFuzzer's two entry points for a harness class whose `run(const std::string&)` takes
// one input. The harness is built once per process, before the first input.
#define NORVID_FUZZ_HARNESS(Harness)                                                  \
  namespace {                                                                         \
  Harness& fuzzHarness() {                                                            \
    static Harness instance;                                                          \
    return instance;                                                                  \
  }                                                                                   \
  }                                                                                   \
  extern "C" int LLVMFuzzerInitialize(int*, char***) {                                \
    fuzzHarness();                                                                    \
    return 0;                                                                         \
  }                                                                                   \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    fuzzHarness().run(std::string(reinterpret_cast<const char*>(data), size));        \
    return 0;                                                                         \
  }
