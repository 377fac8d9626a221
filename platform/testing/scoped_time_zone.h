// Test support: sets TZ (and re-reads it with tzset) for the lifetime of the
// object, then restores the previous value. Tests that use it must not run
// concurrently with other code of the process that reads the local zone.
#pragma once

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

namespace platform::testing {

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = getenv("TZ")) m_old = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (m_old) {
      setenv("TZ", m_old->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> m_old;
};

}  // namespace platform::testing
