// The controller board's own heater channels, "-1B32": channels 1 to 3 drive the capillary,
// desolvation gas and APCI gas heaters of the physical model, the same heaters the Modbus
// controllers on channel 6 drive, so whichever way a host switches a heater the status reports
// and the other way's readings follow.
//
//   "-1B32" CC "00" TTTT   set-point in whole degrees, four to eight hexadecimal digits (a signed
//                          32-bit value); 0 or below switches the heater off, anything else on
//   "-1B32" CC "02"        reading: "32" CC "02" and the temperature in whole degrees as four
//                          hexadecimal digits (the number starts at offset 6)
// CC is the channel in two decimal digits. Anything else is refused.
#include <zyl/sim/Firmware.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "sim/hex.h"
#include "sim/physics.h"
#include "sim/serial_ports.h"

namespace zyl::sim {

void installHeaterCommands(Firmware& firmware) {
  firmware.on("32", [](CommandContext& c) {
    const std::string_view a = c.args();
    int channel = 0;
    if (a.size() < 4 || std::from_chars(a.data(), a.data() + 2, channel).ptr != a.data() + 2 ||
        channel < 1 || channel > 3)
      return c.refuse();
    PhysicalModel::Heater& heater = physicsNow(c).heater(channel - 1);
    const std::string_view operation = a.substr(2, 2), value = a.substr(4);
    if (operation == "02" && value.empty()) {
      const long degrees = std::clamp(std::lround(heater.temperatureC), 0L, 0xFFFFL);
      std::string reply = "320" + std::to_string(channel) + "02";
      appendHex(reply, static_cast<uint64_t>(degrees), 4);
      return c.reply(reply);
    }
    const auto bits = value.size() >= 4 && value.size() <= 8 ? hexField(value) : std::nullopt;
    if (operation != "00" || !bits) return c.refuse();
    const auto degrees = static_cast<int32_t>(static_cast<uint32_t>(*bits));
    heater.on = degrees > 0;
    if (heater.on) heater.setpointC = degrees;
    c.ack();
  });
}

}  // namespace zyl::sim
