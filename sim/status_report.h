// What the simulated controller reports about the instrument: the older firmware's "-1B3000"
// reply and the V3 status-pipe frame. Both carry the controller's own readings (ControllerIo) and
// what its serial devices answer now (the gauge's reading, the pump's "?V852" report, the heater
// temperatures), all following the instrument's PhysicalModel. The scan trailer of the older
// firmware carries the same serial-device text.
//
// Generations: older firmware answers "-1B3000" and refuses "-1B31xx"; V3 firmware streams
// between "-1B3101" and "-1B3100" and refuses "-1B3000" as a command it does not know, since it
// replaced the polled status by the stream (the library never polls V3 firmware).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <zyl/sim/Firmware.h>

namespace zyl::sim {

struct StatusReport {
  // V3 stream: on between "-1B3101" and "-1B3100", one frame per `framePeriodMs` of real time.
  bool streaming = false;
  double framePeriodMs = 100;
  uint64_t framesQueued = 0;
  TimePoint nextFrameAt{};
  // Older firmware polls its Watlow heater controllers and passes one readback per status on;
  // unset: firmware from "VERSION102412" on does. Tests may force either.
  std::optional<bool> heaterRecords;
  int nextHeater = 1;  // the heater whose readback the next serial text carries
};

// The serial-device text of the older firmware: gauge, pump and, where the firmware polls its
// heater controllers, one heater readback record (the heaters take turns).
std::string serialDeviceText(FirmwareContext& f);
// The whole "-1B3000" reply: five characters, 32 ADC groups, the inputs, the serial text.
std::string statusReply(FirmwareContext& f);
// One V3 status-pipe frame of 218 characters.
std::string statusFrame(FirmwareContext& f);

}  // namespace zyl::sim
