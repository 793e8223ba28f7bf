// Local time, thread ids and sleeping.
#pragma once

#include <cstdint>

namespace qma::platform {

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};

/// The local wall-clock time with milliseconds.
LocalTime local_time_now();
/// A number that identifies the calling thread in log lines.
unsigned long current_thread_id();
/// Monotonic milliseconds, for measuring waits.
uint64_t monotonic_ms();
void sleep_ms(uint32_t ms);

/// Pauses of retry loops come from here, so tests can count them instead of sleeping.
class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual void sleep(uint32_t ms) { sleep_ms(ms); }
};

}  // namespace qma::platform
