// Helpers for driving the simulated instrument through the UsbBackend interface.
#pragma once

#include <zyl/UsbBackend.h>
#include <zyl/sim/SimBackend.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zyl::sim::testing {

inline bool send(zyl::usb::UsbHandle& h, std::string_view text) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  long length = static_cast<long>(bytes.size());
  return h.bulkTransfer(kCommandOut, bytes.data(), length, 1000) &&
         length == static_cast<long>(bytes.size());
}

// One IN transfer; nullopt when it failed.
inline std::optional<std::string> receive(zyl::usb::UsbHandle& h, uint8_t endpoint = kCommandIn,
                                          long capacity = 1024, uint32_t timeoutMs = 200) {
  std::vector<uint8_t> buffer(static_cast<size_t>(capacity) + 1, 0xEE);
  long length = capacity;
  if (!h.bulkTransfer(endpoint, buffer.data(), length, timeoutMs)) return std::nullopt;
  if (buffer[static_cast<size_t>(capacity)] != 0xEE) return "<overrun>";
  return std::string(buffer.begin(), buffer.begin() + length);
}

inline std::optional<std::string> exchange(zyl::usb::UsbHandle& h, std::string_view command) {
  if (!send(h, command)) return std::nullopt;
  return receive(h);
}

// Elapsed real time. Replies and time-outs run in real time, so tests bound it from below only, or
// from above by a time-out nothing should reach: a tighter upper bound would measure the machine's
// load, not the simulator.
inline double msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace zyl::sim::testing
