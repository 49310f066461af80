// The Modbus line of the heater controllers: a two-wire bus with the controllers at addresses 1
// (capillary heater), 2 (desolvation gas heater) and 3 (APCI gas heater).
//
// Framing: a write that starts with ':' begins a Modbus ASCII frame, which runs to its "\r\n"
// (possibly over several writes); any other write is one RTU frame, since each write reaches the
// line as one burst followed by silence. A frame whose LRC or CRC is wrong, that is malformed or
// that is addressed to no controller here is dropped without an answer, as a slave does; answers
// go back in the framing of the request, with a correct check value. The bus echoes: whatever the
// host transmits comes back first in the receive queue, followed by the controller's answer.
#pragma once

#include <array>
#include <string>

#include "sim/heater_controller.h"
#include "sim/serial_ports.h"

namespace zyl::sim {

class ModbusLine : public SerialDevice {
 public:
  static constexpr int kFirstAddress = 1;

  int lineSetting() const override { return 5; }
  void receive(FirmwareContext& f, std::span<const uint8_t> bytes,
               std::deque<uint8_t>& answer) override;

  HeaterController* controller(int address);

  bool echo = true;
  int checksumErrors = 0;  // frames dropped for a wrong LRC or CRC

 private:
  // Address and request in, address and response out; empty when nobody answers.
  std::vector<uint8_t> respond(FirmwareContext& f, std::span<const uint8_t> message);
  void asciiFrame(FirmwareContext& f, std::deque<uint8_t>& answer);
  void rtuFrame(FirmwareContext& f, std::span<const uint8_t> frame, std::deque<uint8_t>& answer);

  std::string ascii_;  // an ASCII frame in progress
  std::array<HeaterController, 3> controllers_{HeaterController(0), HeaterController(1),
                                               HeaterController(2)};
};

}  // namespace zyl::sim
