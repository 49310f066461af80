#include "link/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace zyl::detail {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

const auto loadTime = std::chrono::steady_clock::now();

class SystemClock final : public Clock {
 public:
  long processMs() override {
    return static_cast<long>(
        duration_cast<milliseconds>(std::chrono::steady_clock::now() - loadTime).count());
  }
  uint64_t monotonicMs() override {
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
  }
  int64_t calendarSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  void sleepMs(uint32_t ms) override { std::this_thread::sleep_for(milliseconds(ms)); }
};

SystemClock systemClock;
std::atomic<Clock*> current{&systemClock};

}  // namespace

Clock& clock() {
  return *current.load(std::memory_order_acquire);
}

void setClock(Clock* clock) {
  current.store(clock ? clock : &systemClock, std::memory_order_release);
}

}  // namespace zyl::detail
