// The library's clocks, read through one interface so that tests can move time instead of
// sleeping. Internal to the library.
#pragma once

#include <cstdint>

namespace zyl::detail {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock milliseconds since the library was loaded: the debug log and the heater polls.
  virtual long processMs() = 0;
  // Monotonic milliseconds: status refresh and scan time stamps.
  virtual uint64_t monotonicMs() = 0;
  // Calendar seconds since the epoch: the heater interlock.
  virtual int64_t calendarSeconds() = 0;
  virtual void sleepMs(uint32_t ms) = 0;
};

// The process-wide clock; `setClock(nullptr)` restores the system clock.
Clock& clock();
void setClock(Clock* clock);

}  // namespace zyl::detail
