#include "tests/support/FakeClock.hpp"

#include <cstdlib>
#include <ctime>
#include <string>

namespace norvid::testing {

ScopedTimeZone::ScopedTimeZone(const char* zone) {
  if (const char* current = std::getenv("TZ")) {
    hadZone_ = true;
    previous_ = current;
  }
  ::setenv("TZ", zone, 1);
  ::tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
  if (hadZone_) {
    ::setenv("TZ", previous_.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

}  // namespace norvid::testing
