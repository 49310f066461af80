// Hex digit pairs and the two Modbus check values, computed the same way by the library and by the
// simulated heater controllers. Header-only and allocation-free; every table is built by the
// compiler, so nothing is initialised at run time and no thread can see a half-built table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "link/wire.h"

namespace zyl::detail {

// Two characters read as one hexadecimal number the way strtol reads them: as far as they are hex
// digits ("4G" is 4, "G4" and "" are 0). `second` may be the terminating zero of a lone digit.
inline constexpr uint8_t hexPairValue(char first, char second) {
  const uint8_t hi = hexDigitValue(first);
  if (hi == kNotHex) return 0;
  const uint8_t lo = hexDigitValue(second);
  if (lo == kNotHex) return hi;
  return static_cast<uint8_t>(hi << 4 | lo);
}

// The Modbus RTU CRC-16: reflected polynomial 0xA001, initial value 0xFFFF, no final inversion.
inline constexpr std::array<uint16_t, 256> kCrc16Table = [] {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = 0;
    unsigned c = i;
    for (int k = 0; k < 8; ++k) {
      crc = ((crc ^ c) & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
      c >>= 1;
    }
    t[i] = crc;
  }
  return t;
}();

inline constexpr uint16_t kCrc16Initial = 0xFFFF;

inline constexpr uint16_t crc16Step(uint16_t crc, uint8_t byte) {
  return static_cast<uint16_t>((crc >> 8) ^ kCrc16Table[(crc ^ byte) & 0xFF]);
}

inline constexpr uint16_t crc16Modbus(std::span<const uint8_t> bytes) {
  uint16_t crc = kCrc16Initial;
  for (uint8_t b : bytes) crc = crc16Step(crc, b);
  return crc;
}

// The CRC of the bytes that a text of hex digit pairs spells (each pair read by hexPairValue); a
// last lone digit counts as a one-digit byte.
inline constexpr uint16_t crc16OfHexText(std::string_view text) {
  uint16_t crc = kCrc16Initial;
  size_t i = 0;
  for (; i + 1 < text.size(); i += 2) crc = crc16Step(crc, hexPairValue(text[i], text[i + 1]));
  if (i < text.size()) crc = crc16Step(crc, hexPairValue(text[i], '\0'));
  return crc;
}

// The Modbus ASCII longitudinal redundancy check: the two's complement of the byte sum.
inline constexpr uint8_t lrc(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  return static_cast<uint8_t>(-sum);
}

static_assert(kCrc16Table[1] == 0xC0C1 && kCrc16Table[255] == 0x4040);
static_assert(crc16OfHexText("313233343536373839") == 0x4B37);

}  // namespace zyl::detail
