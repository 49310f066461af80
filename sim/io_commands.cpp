// Digital output, analog and I2C commands of the simulated controller. What the lines drive lies
// beyond the controller; it keeps what it was sent (ControllerIo) and acknowledges, and refuses a
// command whose fields it cannot read, as the real controller refuses what it does not know.
#include <zyl/sim/Firmware.h>

#include <array>
#include <optional>
#include <string_view>

#include "sim/controller_io.h"
#include "sim/hex.h"

namespace zyl::sim {

namespace {

std::optional<int> digit(char c) {
  if (c < '0' || c > '9') return std::nullopt;
  return c - '0';
}

}  // namespace

void installIoCommands(Firmware& firmware) {
  // "-1B21" and 16 hexadecimal digits: the 64 output lines.
  firmware.on("21", [](CommandContext& c) {
    const auto lines = c.args().size() == 16 ? hexField(c.args()) : std::nullopt;
    if (!lines) return c.refuse();
    ControllerIo& io = c.state().part<ControllerIo>();
    io.outputLines = *lines;
    ++io.outputWrites;
    c.ack();
  });
  // "-1B53" "0<input>0<setting>", one decimal digit each.
  firmware.on("53", [](CommandContext& c) {
    const std::string_view a = c.args();
    const auto input = a.size() == 4 && a[0] == '0' && a[2] == '0' ? digit(a[1]) : std::nullopt;
    const auto setting = input ? digit(a[3]) : std::nullopt;
    if (!setting) return c.refuse();
    c.state().part<ControllerIo>().analogInputSettings[*input] = *setting;
    c.ack();
  });
  // "-1B52" "0<channel>0<mode><value>": channel in decimal (from 1), mode one hexadecimal digit,
  // value four.
  firmware.on("52", [](CommandContext& c) {
    const std::string_view a = c.args();
    const auto channel = a.size() == 8 && a[0] == '0' && a[2] == '0' ? digit(a[1]) : std::nullopt;
    const auto mode = channel ? hexField(a.substr(3, 1)) : std::nullopt;
    const auto value = mode ? hexField(a.substr(4, 4)) : std::nullopt;
    if (!value) return c.refuse();
    c.state().part<ControllerIo>().analogOutputs[*channel] = {static_cast<int>(*mode),
                                                              static_cast<uint16_t>(*value)};
    c.ack();
  });
  // "-1B54" and three bytes in hexadecimal.
  firmware.on("54", [](CommandContext& c) {
    const std::string_view a = c.args();
    ControllerIo& io = c.state().part<ControllerIo>();
    std::array<uint8_t, 3> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i) {
      const auto b = a.size() == 6 ? hexField(a.substr(2 * i, 2)) : std::nullopt;
      if (!b) return c.refuse();
      bytes[i] = static_cast<uint8_t>(*b);
    }
    io.i2c = bytes;
    ++io.i2cWrites;
    c.ack();
  });
}

}  // namespace zyl::sim
