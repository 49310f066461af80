// A scan time in the controller's clock ticks, as the library sends it (truncated).
#pragma once

#include <cstdint>

namespace zyl::test {

inline uint32_t ticksOf(uint64_t ms) {
  return static_cast<uint32_t>(ms * 273066 / 940);
}

}  // namespace zyl::test
