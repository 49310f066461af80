// The two Modbus check values of the library (the simulator computes its own, bit by bit, to check
// these). Header-only and allocation-free; every table is built by the
// compiler, so nothing is initialised at run time and no thread can see a half-built table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "link/text.h"

namespace zyl::detail {

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

// The CRC of the bytes that a text of hex digit pairs spells, each pair read as strtol reads it:
// as far as it holds hex digits ("4G" is 4, "G4" is 0); a last lone digit counts as a byte.
inline constexpr uint16_t crc16OfHexText(std::string_view text) {
  uint16_t crc = kCrc16Initial;
  for (size_t i = 0; i < text.size(); i += 2)
    crc = crc16Step(crc, static_cast<uint8_t>(leadingHex(text.substr(i, 2)).value));
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
