// Modbus requests as `zyl modbus` frames them, and what the device's answer says. The library's
// Modbus calls report success for any answer, exception replies included, and keep the answer to
// themselves; a service engineer probing a controller needs to see a refusal, so the tool frames
// its own requests and sends them through the serial passthrough (the same flush, write, 100 ms
// pause and read as the library's calls).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zyl::tool::modbus {

enum class Framing { Rtu, Ascii };

// A request frame: RTU as hex digit pairs with the CRC-16 (low byte first), ASCII as
// ":" + hex + LRC + "\r\n". `pdu` is the function code and its data.
std::string frame(Framing framing, uint8_t address, std::span<const uint8_t> pdu);

struct Answer {
  enum class Kind { Nothing, Unreadable, Exception, Data };
  Kind kind = Kind::Nothing;
  uint8_t exceptionCode = 0;
  std::vector<uint8_t> data;  // after the function code, without the check value
};

// Finds the device's answer to `function` in what came back, skipping an echo of the request
// (a two-wire line repeats it): the first frame from `address` whose check value holds and whose
// function code is `function`, or `function` with the exception bit, and whose length suits it.
// `dataBytes` is the length of a normal answer's data, 0 when its first byte counts the rest.
Answer findAnswer(Framing framing, std::string_view reply, uint8_t address, uint8_t function,
                  size_t dataBytes);

// "illegal data address", ... for the standard exception codes; "unknown" for others.
std::string_view exceptionMeaning(uint8_t code);

}  // namespace zyl::tool::modbus
