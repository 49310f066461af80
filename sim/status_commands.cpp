// Status commands of the simulated controller: "-1B3000" (older firmware) and the V3 stream
// switch "-1B3101" / "-1B3100", with the texts they carry.
#include <algorithm>
#include <cmath>
#include <cstring>

#include <zyl/sim/Instrument.h>

#include "sim/controller_io.h"
#include "sim/hex.h"
#include "sim/physics.h"
#include "sim/pirani_gauge.h"
#include "sim/serial_ports.h"
#include "sim/status_report.h"
#include "sim/turbo_pump.h"

namespace zyl::sim {

namespace {

constexpr std::string_view kHeaterRecordsFrom = "VERSION102412";
constexpr size_t kVersionCompared = 13;
constexpr size_t kFieldWidth = 33;  // gauge and pump fields of the V3 frame
// The controller's FIFO keeps a few frames when nobody reads; older ones are lost.
constexpr int kMaxBacklogFrames = 4;

void appendReadings(std::string& out, const ControllerIo& io) {
  for (uint16_t reading : io.adc) appendHex(out, reading, 4);
  appendHex(out, io.digitalInputs, 4);
}

void padTo(std::string& field, size_t width) {
  field.resize(width, ' ');
}

// What the gauge and the pump answer now; nothing for a device that is not wired.
std::string gaugeText(FirmwareContext& f) {
  auto* gauge = f.state().part<SerialPorts>().device<PiraniGauge>(SerialPorts::kGaugeChannel);
  return gauge ? gauge->reading(f) : std::string();
}

std::string pumpText(FirmwareContext& f) {
  auto* pump = f.state().part<SerialPorts>().device<TurboPump>(SerialPorts::kPumpChannel);
  return pump ? pump->report(f) : std::string();
}

uint16_t wholeDegrees(double c) {
  return static_cast<uint16_t>(std::clamp(std::lround(c), 0L, 0xFFFFL));
}

bool heaterRecordsOn(FirmwareContext& f) {
  const StatusReport& report = f.state().part<StatusReport>();
  if (report.heaterRecords) return *report.heaterRecords;
  const std::string& v = f.state().version;
  return !f.state().isV3() &&
         v.substr(0, kVersionCompared) >= kHeaterRecordsFrom.substr(0, kVersionCompared);
}

// "|" and the Modbus readback of one heater controller: its number 17 characters in, the
// float's bits 23 characters in as two hexadecimal groups, low half first.
std::string heaterRecord(int heater, double temperatureC) {
  const float value = static_cast<float>(temperatureC);
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  std::string record = "|HEATER TEMP 402 ";  // 17 characters
  if (heater < 10) record += '0';
  record += std::to_string(heater);
  record += " T= ";
  appendHex(record, bits & 0xFFFF, 4);
  record += ' ';
  appendHex(record, bits >> 16, 4);
  record += ";";
  return record;
}

void startStream(CommandContext& c) {
  StatusReport& report = c.state().part<StatusReport>();
  report.streaming = true;
  report.nextFrameAt = c.now();  // the first frame right away
  c.setStreamSource(kStatusIn, [](FirmwareContext& f, TimePoint now) {
    StatusReport& r = f.state().part<StatusReport>();
    const auto period = std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double, std::milli>(std::max(r.framePeriodMs, 0.1)));
    if (now - r.nextFrameAt > period * kMaxBacklogFrames)
      r.nextFrameAt = now - period * (kMaxBacklogFrames - 1);
    for (; r.nextFrameAt <= now; r.nextFrameAt += period) {
      f.push(kStatusIn, statusFrame(f), r.nextFrameAt);
      ++r.framesQueued;
    }
    return r.nextFrameAt;
  });
}

void stopStream(CommandContext& c) {
  c.state().part<StatusReport>().streaming = false;
  c.setStreamSource(kStatusIn, {});
}

}  // namespace

std::string serialDeviceText(FirmwareContext& f) {
  std::string text = gaugeText(f) + "\r" + pumpText(f) + "\r";
  if (heaterRecordsOn(f)) {
    StatusReport& report = f.state().part<StatusReport>();
    const int heater = report.nextHeater;
    report.nextHeater = heater % 3 + 1;
    text += heaterRecord(heater, physicsNow(f).heater(heater - 1).temperatureC);
  }
  return text;
}

std::string statusReply(FirmwareContext& f) {
  std::string reply = "3000 ";
  appendReadings(reply, f.state().part<ControllerIo>());
  reply += serialDeviceText(f);
  return reply;
}

std::string statusFrame(FirmwareContext& f) {
  std::string frame;
  frame.reserve(218);
  appendReadings(frame, f.state().part<ControllerIo>());
  std::string gauge = gaugeText(f);
  padTo(gauge, kFieldWidth);
  std::string pump = pumpText(f);
  padTo(pump, kFieldWidth);
  const PhysicalModel& model = physicsNow(f);
  frame += gauge;
  frame += pump;
  frame += " 0000";  // group 0: not used
  for (int h = 0; h < 3; ++h) {
    frame += ' ';
    appendHex(frame, wholeDegrees(model.heater(h).temperatureC), 4);
  }
  return frame;
}

void installStatusCommands(Firmware& firmware) {
  firmware.on("30", [](CommandContext& c) {
    if (c.state().isV3() || c.args() != "00") return c.refuse();
    c.reply(statusReply(c));
  });
  firmware.on("31", [](CommandContext& c) {
    if (!c.state().isV3()) return c.refuse();
    if (c.args() == "01")
      startStream(c);
    else if (c.args() == "00")
      stopStream(c);
    else
      return c.refuse();
    c.ack();
  });
}

}  // namespace zyl::sim
