// A turbo pump on a serial port. Texts end in a carriage return:
//   "!C852 1" / "!C852 0"  run switch on / off       answered "C852 1" / "C852 0"
//   "!C869 1" / "!C869 0"  standby on / off          answered "C869 1" / "C869 0"
//   "?V852"                speed and status word     answered "V852<speed>;<status>"
// and anything else "E". The speed is the rotor's, in Hz, as the physical model spins it up and
// down; the status word (four hex digits) has bit 4 set while the drive runs (run switch on),
// bit 5 in standby and bit 6 while the rotor is at speed.
#pragma once

#include <string>

#include "sim/serial_ports.h"

namespace zyl::sim {

class TurboPump : public SerialDevice {
 public:
  static constexpr unsigned kRunning = 1u << 4;
  static constexpr unsigned kStandby = 1u << 5;
  static constexpr unsigned kAtSpeed = 1u << 6;

  int lineSetting() const override { return 3; }
  void receive(FirmwareContext& f, std::span<const uint8_t> bytes,
               std::deque<uint8_t>& answer) override;

  // The answer to "?V852" now: also what the controller passes on in its status reports.
  std::string report(FirmwareContext& f);

 private:
  std::string answerTo(FirmwareContext& f, std::string_view command);

  std::string pending_;  // a text not yet terminated by a carriage return
};

}  // namespace zyl::sim
