#pragma once

#include <string>

namespace norvid::platform {

// A fresh 8-4-4-4-12 identifier of 32 lower-case hex digits. Each digit is the top four bits of
// one output of a 32-bit Mersenne Twister seeded anew from std::random_device for every call.
std::string generateRandomId();

}  // namespace norvid::platform
