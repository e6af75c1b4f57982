#include "platform/RandomId.hpp"

#include <random>

namespace norvid::platform {

std::string generateRandomId() {
  static const char kHex[] = "0123456789abcdef";
  std::random_device source;
  std::mt19937 generator(source());
  std::string id;
  id.reserve(36);
  for (int digit = 0; digit < 32; ++digit) {
    if (digit == 8 || digit == 12 || digit == 16 || digit == 20) id.push_back('-');
    id.push_back(kHex[generator() >> 28]);
  }
  return id;
}

}  // namespace norvid::platform
