// The serial ports of the simulated controller board and the devices wired to them.
//
// Each port has a line setting (given by "-1B40", none until then) and a receive queue of the
// bytes its device has sent and the host has not fetched yet. "-1B41" hands the written bytes to
// the device, which answers at once into the queue; "-1B42" tells whether a byte is waiting and
// "-1B43" fetches one. A device only understands a port set up with its own line setting: bytes
// written on a port set up otherwise (or never) are lost on the wire, as they would be at a wrong
// baud rate.
//
// Standard wiring: channel 1 a Pirani gauge, channel 2 a turbo pump, channel 6 the Modbus line of
// the three heater controllers. Tests reach a port or a device through the firmware state:
//
//   inst->withFirmware([](FirmwareContext& f) {
//     auto& ports = f.state().part<SerialPorts>();
//     ports.port(3)->received.assign({'h', 'i'});       // bytes waiting on channel 3
//     ports.device<TurboPump>(2)->...;
//   });
#pragma once

#include <zyl/sim/Firmware.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>

namespace zyl::sim {

class PhysicalModel;

// The instrument's physical model moved to the simulator's present.
PhysicalModel& physicsNow(FirmwareContext& f);

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  // The line setting its port must be set up with.
  virtual int lineSetting() const = 0;
  // Bytes the host wrote to the port; whatever the device sends back is appended to `answer`.
  virtual void receive(FirmwareContext& f, std::span<const uint8_t> bytes,
                       std::deque<uint8_t>& answer) = 0;
  // Appends what the device sent since the last look, for devices that answer in their own time
  // (the simulated ones answer inside `receive`).
  virtual void collect(std::deque<uint8_t>& /*answer*/) {}
};

struct SerialPort {
  int lineSetting = -1;  // -1: never set up
  std::deque<uint8_t> received;
  std::shared_ptr<SerialDevice> device;
};

class SerialPorts {
 public:
  static constexpr int kChannels = 16;
  static constexpr int kGaugeChannel = 1;
  static constexpr int kPumpChannel = 2;
  static constexpr int kModbusChannel = 6;

  SerialPorts();  // the standard wiring

  SerialPort* port(int channel) {
    return channel >= 0 && channel < kChannels ? &ports_[static_cast<size_t>(channel)] : nullptr;
  }
  template <class T>
  T* device(int channel) {
    SerialPort* p = port(channel);
    return p ? dynamic_cast<T*>(p->device.get()) : nullptr;
  }

 private:
  std::array<SerialPort, kChannels> ports_;
};

}  // namespace zyl::sim
