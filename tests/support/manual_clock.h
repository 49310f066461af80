// A clock for tests: time moves only when the test (or a sleep of the library) moves it; and
// waiting in real time for what the library's threads do.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "link/clock.h"

namespace zyl::test {

class ManualClock : public zyl::detail::Clock {
 public:
  ManualClock() { zyl::detail::setClock(this); }
  ~ManualClock() override { zyl::detail::setClock(nullptr); }

  long processMs() override { return static_cast<long>(ms_.load()); }
  uint64_t monotonicMs() override { return ms_.load(); }
  int64_t calendarSeconds() override { return static_cast<int64_t>(ms_.load() / 1000); }
  void sleepMs(uint32_t ms) override {
    ms_ += ms;
    slept_ += ms;
  }

  void advance(uint64_t ms) { ms_ += ms; }
  uint64_t slept() const { return slept_.load(); }

 private:
  std::atomic<uint64_t> ms_{1000000};
  std::atomic<uint64_t> slept_{0};
};

// Waits in real time, up to `limit`, for what a library thread does; true once `done`.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

// A status callback that counts the frames it is called for.
inline std::atomic<int> frames{0};
inline void countFrame() {
  ++frames;
}

}  // namespace zyl::test
