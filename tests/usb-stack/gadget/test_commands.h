// Commands that only the gadget's instrument knows, for tests on a real USB stack that need
// replies of exact shapes and data on the streaming pipes whatever the simulated firmware offers.
// Their codes start with 'Z', which no firmware command uses (codes are digits and hexadecimal
// letters), so they can never hide a real command.
//
//   "-1BZR" NNNNNNNN   data reply of N (hex) bytes, byte i = payloadByte(i)
//   "-1BZX" TEXT       replies TEXT with every '~' turned into a zero byte (empty TEXT: empty
//   reply)
//   "-1BZL" MMMM TEXT  replies TEXT M (hex) milliseconds later
//   "-1BZS" PPPP CCCC  "ACK"; streams C (hex) status frames on the second bulk IN pipe, one every
//                      P (hex) ms, frame k being statusFrame(k); C = 0 stops the stream
//   "-1BZC" NNNNNNNN   "ACK"; queues N (hex) bytes, byte i = payloadByte(i), on the third bulk IN
//                      pipe as one transfer (refused by an instrument without that pipe)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace zyl::gadget {

// Not periodic in any power of two, so a dropped or repeated packet shows.
inline uint8_t payloadByte(size_t i) {
  return static_cast<uint8_t>((i * 131u) ^ (i >> 9) ^ (i / 251u));
}

inline constexpr size_t kStatusFrameSize = 48;

inline std::string statusFrame(uint32_t k) {
  char text[kStatusFrameSize + 1];
  std::snprintf(text, sizeof text, "ZSF%08X%-37s", static_cast<unsigned>(k), "");
  return std::string(text, kStatusFrameSize);
}

}  // namespace zyl::gadget
