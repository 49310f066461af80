// The controller board's serial-port commands:
//   "-1B40CCLL"        set port CC (hex) up with line setting LL (hex)        -> ACK
//   "-1B41DDNN<hex>"   write NN (hex) bytes, given as hex pairs, to port DD (decimal) -> ACK
//   "-1B42CC"          is a byte waiting on port CC?   -> "-1B42CC01" if so, else "-1B42CC00"
//   "-1B43CCNN"        fetch one byte (NN must be 01)  -> "-1B43CCNN" and the byte as two hex
//                                                         digits; refused when nothing waits
// Malformed commands and ports the board does not have are refused.
#include "sim/serial_ports.h"

#include <zyl/sim/Instrument.h>

#include <optional>
#include <vector>

#include "sim/hex.h"
#include "sim/modbus_line.h"
#include "sim/physics.h"
#include "sim/pirani_gauge.h"
#include "sim/turbo_pump.h"

namespace zyl::sim {
namespace {

std::optional<uint64_t> decField(std::string_view text) {
  uint64_t value = 0;
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

SerialPort* portOf(CommandContext& c, std::optional<uint64_t> channel) {
  if (!channel) return nullptr;
  return c.state().part<SerialPorts>().port(static_cast<int>(*channel));
}

void setup(CommandContext& c) {
  const std::string_view a = c.args();
  if (a.size() != 4) return c.refuse();
  SerialPort* port = portOf(c, hexField(a.substr(0, 2)));
  const auto setting = hexField(a.substr(2, 2));
  if (!port || !setting) return c.refuse();
  port->lineSetting = static_cast<int>(*setting);
  c.ack();
}

void write(CommandContext& c) {
  const std::string_view a = c.args();
  if (a.size() < 4) return c.refuse();
  SerialPort* port = portOf(c, decField(a.substr(0, 2)));
  const auto count = hexField(a.substr(2, 2));
  const std::string_view data = a.substr(4);
  if (!port || !count || data.size() != 2 * *count) return c.refuse();
  std::vector<uint8_t> bytes;
  bytes.reserve(*count);
  for (size_t i = 0; i < data.size(); i += 2) {
    const auto b = hexField(data.substr(i, 2));
    if (!b) return c.refuse();
    bytes.push_back(static_cast<uint8_t>(*b));
  }
  if (port->device && port->lineSetting == port->device->lineSetting())
    port->device->receive(c, bytes, port->received);
  c.ack();
}

void available(CommandContext& c) {
  const std::string_view a = c.args();
  SerialPort* port = a.size() == 2 ? portOf(c, hexField(a)) : nullptr;
  if (!port) return c.refuse();
  if (port->device) port->device->collect(port->received);
  std::string reply(c.text());
  reply += port->received.empty() ? "00" : "01";
  c.reply(reply);
}

void fetch(CommandContext& c) {
  const std::string_view a = c.args();
  SerialPort* port = a.size() == 4 ? portOf(c, hexField(a.substr(0, 2))) : nullptr;
  if (!port || hexField(a.substr(2, 2)) != 1u || port->received.empty()) return c.refuse();
  const uint8_t b = port->received.front();
  port->received.pop_front();
  std::string reply(c.text());
  appendHex(reply, b, 2);
  c.reply(reply);
}

}  // namespace

PhysicalModel& physicsNow(FirmwareContext& f) {
  PhysicalModel& m = f.state().part<PhysicalModel>();
  m.advanceTo(f.clock().nowMs());
  return m;
}

SerialPorts::SerialPorts() {
  ports_[kGaugeChannel].device = std::make_shared<PiraniGauge>();
  ports_[kPumpChannel].device = std::make_shared<TurboPump>();
  ports_[kModbusChannel].device = std::make_shared<ModbusLine>();
}

void installSerialCommands(Firmware& firmware) {
  firmware.on("40", setup);
  firmware.on("41", write);
  firmware.on("42", available);
  firmware.on("43", fetch);
}

}  // namespace zyl::sim
