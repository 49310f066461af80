// A heater temperature controller, one Modbus slave, driving one heater of the physical model.
// Registers (16 bits each; a 32-bit float spans two, the lower address holding the low word):
//   1880        on/off: 10 switches the heater on, 62 off; reads back 10 or 62
//   1881        reserved: reads 0, writes are ignored
//   2160, 2161  set-point in degrees, IEEE 754 single precision
//   402, 403    temperature in degrees, IEEE 754 single precision (read only)
// Functions 3 (read holding registers), 6 (write one register) and 16 (write several). A request
// that breaks these rules gets a Modbus exception: 1 unknown function, 2 a register it does not
// have (or a write to a read-only one), 3 a malformed request or a value it does not take. A write
// is checked whole before any register changes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <zyl/sim/Firmware.h>

namespace zyl::sim {

class PhysicalModel;

class HeaterController {
 public:
  static constexpr uint16_t kOnOff = 1880;
  static constexpr uint16_t kReserved = 1881;
  static constexpr uint16_t kSetpoint = 2160;
  static constexpr uint16_t kTemperature = 402;
  static constexpr uint16_t kOn = 10;
  static constexpr uint16_t kOff = 62;

  explicit HeaterController(int heater) : heater_(heater) {}
  int heater() const { return heater_; }  // index in the physical model

  // One request (function code and data, without address and check) in, the response out.
  std::vector<uint8_t> handle(FirmwareContext& f, std::span<const uint8_t> pdu);

 private:
  std::optional<uint16_t> read(const PhysicalModel& m, uint16_t reg) const;
  uint8_t checkWrite(uint16_t reg, uint16_t value) const;  // 0, or the exception code
  void write(PhysicalModel& m, uint16_t reg, uint16_t value);

  int heater_;
};

}  // namespace zyl::sim
