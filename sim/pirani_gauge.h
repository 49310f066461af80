// A Pirani vacuum gauge on a serial port. It takes texts addressed to "@254" and ending in ";FF"
// and answers each one it accepts with "@253ACK" and the present pressure: "BR!<baud>" sets the
// baud rate, "U!<MBAR|TORR|PASCAL>" the unit of its readings, "PR1?" only asks. Anything else is
// answered "@253NAK160;FF" (unknown command); texts for another address are ignored.
#pragma once

#include <string>

#include "sim/serial_ports.h"

namespace zyl::sim {

class PiraniGauge : public SerialDevice {
 public:
  enum class Unit { Mbar, Torr, Pascal };

  int lineSetting() const override { return 3; }
  void receive(FirmwareContext& f, std::span<const uint8_t> bytes,
               std::deque<uint8_t>& answer) override;

  // What the gauge answers now ("@253ACK1.00E-02;FF"), in its present unit: also what the
  // controller passes on in its status reports.
  std::string reading(FirmwareContext& f);

  Unit unit() const { return unit_; }
  int baud() const { return baud_; }
  void setUnit(Unit unit) { unit_ = unit; }
  void setBaud(int baud) { baud_ = baud; }

 private:
  std::string answerTo(FirmwareContext& f, std::string_view command);

  std::string pending_;  // a text not yet terminated by ";FF"
  Unit unit_ = Unit::Mbar;
  int baud_ = 9600;
};

}  // namespace zyl::sim
