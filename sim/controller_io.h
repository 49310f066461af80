// The controller board's own inputs and outputs as the simulated firmware keeps them: the 32
// analog readings and 16 digital inputs it reports in every status, the digital output lines the
// host last sent, the analog inputs' settings, the analog outputs and the I2C bus. A firmware
// part (`state().part<ControllerIo>()`), so tests read and set it with Instrument::withFirmware.
#pragma once

#include <array>
#include <cstdint>
#include <map>

namespace zyl::sim {

struct ControllerIo {
  // Reported in every status; a test may set them. Each reading is a 16-bit ADC count.
  std::array<uint16_t, 32> adc = defaultAdc();
  uint16_t digitalInputs = 0x0005;

  // "-1B21": the 64 output lines exactly as sent (the host sends the complement of its own
  // output word), and how many such commands arrived.
  uint64_t outputLines = 0;
  uint64_t outputWrites = 0;

  // "-1B53": input number -> setting.
  std::map<int, int> analogInputSettings;

  // "-1B52": the channel as it arrives on the wire (the host's channel + 1) -> mode and value.
  struct AnalogOutput {
    int mode = 0;
    uint16_t value = 0;
  };
  std::map<int, AnalogOutput> analogOutputs;

  // "-1B54": the last three bytes written and how many writes there were.
  std::array<uint8_t, 3> i2c{};
  uint64_t i2cWrites = 0;

  static constexpr std::array<uint16_t, 32> defaultAdc() {
    std::array<uint16_t, 32> a{};
    for (unsigned i = 0; i < a.size(); ++i) a[i] = static_cast<uint16_t>(0x0100 + 0x0111 * i);
    return a;
  }
};

}  // namespace zyl::sim
