// The two Modbus check values as the simulated heater controllers compute them: bit by bit, the
// way the protocol defines them, so that they check the library's table-driven code rather than
// repeat it.
#pragma once

#include <cstdint>
#include <span>

namespace zyl::sim {

// Modbus RTU CRC-16: reflected polynomial 0xA001, initial value 0xFFFF, no final inversion.
constexpr uint16_t crc16Modbus(std::span<const uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit)
      crc =
          (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

// Modbus ASCII LRC: the two's complement of the byte sum.
constexpr uint8_t lrc(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  return static_cast<uint8_t>(-sum);
}

namespace check {
constexpr uint8_t kDigits[] = {0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39};
static_assert(crc16Modbus(kDigits) == 0x4B37);
}  // namespace check

}  // namespace zyl::sim
