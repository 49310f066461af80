// The three ion-source heaters. Each heater is numbered 1 (capillary), 2 (desolvation gas) or 3
// (APCI gas); that number is its Modbus address on channel 6 and its channel on the controller
// board alike, so one set of private helpers drives all three and the public operations only
// name the heater.
//
// Readbacks come from where the instrument keeps them: the status data for board heaters on V3
// firmware and for Modbus heaters when the status text carries their records; otherwise a
// board heater is asked each time and a Modbus heater is polled at most every 2000 ms of the
// process clock, a failed poll keeping the last good reading.
#include <bit>
#include <cmath>
#include <limits>

#include "link/clock.h"
#include "link/wire.h"
#include "zyl/ZylInterface.h"

namespace {

constexpr int kCapillary = 1;
constexpr int kDesolvation = 2;
constexpr int kApci = 3;

constexpr int kModbusChannel = 6;
constexpr unsigned short kOnOffRegister = 1880;
constexpr unsigned short kSetpointRegister = 2160;
constexpr unsigned short kTemperatureRegister = 402;
constexpr unsigned int kSwitchOn = 10;
constexpr unsigned int kSwitchOff = 62;
constexpr long kPollIntervalMs = 2000;

constexpr float kHeatUpFraction = 0.9f;
constexpr int64_t kHeatUpSeconds = 44;

constexpr long kBoardReplyCapacity = 1024;
constexpr size_t kBoardReadingAt = 6;
constexpr size_t kBoardReadingDigits = 8;

using BoardCommand = zyl::detail::CommandText<32>;

// The fields of one heater in the instrument object.
struct HeaterFields {
  uint8_t& on;
  float& setpoint;
  std::atomic<float>& readback;
  long& nextPollTime;
};

HeaterFields fieldsOf(ZylInterface& z, int heater) {
  switch (heater) {
    case kCapillary:
      return {z.capillaryHeaterOn, z.capillaryHeaterSetpoint, z.capillaryReadback,
              z.capillaryNextPollTime};
    case kDesolvation:
      return {z.desolvationHeaterOn, z.desolvationHeaterSetpoint, z.desolvationReadback,
              z.desolvationNextPollTime};
    default:
      return {z.apciHeaterOn, z.apciHeaterSetpoint, z.apciReadback, z.apciNextPollTime};
  }
}

// The board takes whole degrees, truncated toward zero, as printf's "%04x" shows an int.
uint32_t boardDegrees(float t) {
  if (std::isnan(t)) return 0;
  constexpr float kLow = static_cast<float>(std::numeric_limits<int32_t>::min());
  constexpr float kHigh = 2147483520.0f;  // the largest float below 2^31
  const float clamped = t < kLow ? kLow : t > kHigh ? kHigh : t;
  return static_cast<uint32_t>(static_cast<int32_t>(clamped));
}

}  // namespace

// Of the controller kinds only the board's own is driven differently: "Unknown", and a name that
// matches no kind, are driven over Modbus like "Watlow PM3 Series".
bool ZylInterface::heaterOnDigitalBoard(int heater) {
  const HeaterControllerType kind = heater == kCapillary     ? GetCapillaryHC()
                                    : heater == kDesolvation ? GetDesolvationGasHC()
                                                             : GetAPCIGasHC();
  return kind == HC_DigitalBoardBuiltIn;
}

unsigned char ZylInterface::AllowHeaterChange(unsigned char on) {
  if (!on || !capillaryHeaterOn) return 1;
  if (GetCapillaryHeaterTemp() >= kHeatUpFraction * capillaryHeaterSetpoint) return 1;
  // A start time in the future (the calendar clock was set back) counts as just started.
  return zyl::detail::clock().calendarSeconds() - capillaryHeatStartTime >= kHeatUpSeconds ? 1 : 0;
}

unsigned int ZylInterface::switchHeater(int heater, unsigned char on) {
  const HeaterFields f = fieldsOf(*this, heater);
  if (heater == kCapillary) {
    if (!f.on && on) capillaryHeatStartTime = zyl::detail::clock().calendarSeconds();
  } else if (on && !AllowHeaterChange(on)) {
    return ZYL_HEATER_INTERLOCK;
  }
  f.on = on;
  if (!connected()) return ZYL_COMM_FAILURE;
  if (heaterOnDigitalBoard(heater)) return setDigitalBoardTemp(heater, on ? f.setpoint : 0.0f);
  // The gas heaters' controllers get their set-point again with every switch; the capillary's
  // keeps the one it was given.
  if (heater != kCapillary)
    ModbusWriteRTU(kModbusChannel, static_cast<unsigned char>(heater), kSetpointRegister,
                   std::bit_cast<uint32_t>(f.setpoint));
  return ModbusWriteRTU(kModbusChannel, static_cast<unsigned char>(heater), kOnOffRegister,
                        on ? kSwitchOn : kSwitchOff);
}

unsigned int ZylInterface::setHeaterSetpoint(int heater, float setpoint) {
  const HeaterFields f = fieldsOf(*this, heater);
  // A raised set-point starts the capillary's heat-up period again.
  if (heater == kCapillary && f.on && setpoint > f.setpoint)
    capillaryHeatStartTime = zyl::detail::clock().calendarSeconds();
  f.setpoint = setpoint;
  if (!connected()) return ZYL_COMM_FAILURE;
  if (heaterOnDigitalBoard(heater))
    return f.on ? setDigitalBoardTemp(heater, setpoint) : ZYL_SUCCESS;
  return ModbusWriteRTU(kModbusChannel, static_cast<unsigned char>(heater), kSetpointRegister,
                        std::bit_cast<uint32_t>(setpoint));
}

float ZylInterface::heaterTemperature(int heater) {
  if (!connected()) return 0.0f;
  const HeaterFields f = fieldsOf(*this, heater);
  if (heaterOnDigitalBoard(heater))
    return firmwareV3 ? f.readback.load() : getDigitalBoardTemp(heater);
  if (heaterReadbacksInStatus) return f.readback;
  if (zyl::detail::clock().processMs() > f.nextPollTime) {
    unsigned int bits = 0;
    if (ModbusReadRTU(kModbusChannel, static_cast<unsigned char>(heater), kTemperatureRegister,
                      &bits) == ZYL_SUCCESS)
      f.readback = std::bit_cast<float>(bits);
    f.nextPollTime = zyl::detail::clock().processMs() + kPollIntervalMs;
  }
  return f.readback;
}

unsigned int ZylInterface::setDigitalBoardTemp(int channel, float temperature) {
  if (!connected()) return ZYL_COMM_FAILURE;
  BoardCommand command("-1B32");
  command.sdec(channel, 2).append("00").hex(boardDegrees(temperature), 4);
  return sendAcknowledged(command.c_str());
}

float ZylInterface::getDigitalBoardTemp(int channel) {
  BoardCommand command("-1B32");
  command.sdec(channel, 2).append("02");
  unsigned char reply[kBoardReplyCapacity];
  long length = kBoardReplyCapacity;
  if (ZylUSBExecuteCommand(command.c_str(), reply, length, true, 10000, 10000) != ZYL_SUCCESS)
    return 0.0f;
  const zyl::detail::ReplyView view(reply, length);
  const auto reading = zyl::detail::leadingHex(view.text(kBoardReadingAt, kBoardReadingDigits));
  return static_cast<float>(static_cast<int32_t>(reading.value));
}

float ZylInterface::userTempReadbackFromRawTemp(unsigned short raw) {
  return static_cast<float>(static_cast<int>(raw) - 8256) * 280.0f / 2516.0f + 20.0f;
}

unsigned short ZylInterface::rawTempSettingFromUserTemp(float temperature) {
  const float raw = (temperature - 8.0f) * 32768.0f / 480.0f;
  if (!(raw > 0.0f)) return 0;  // NaN too
  return raw >= 65535.0f ? 65535 : static_cast<unsigned short>(raw);
}

unsigned int ZylInterface::SetCapillaryHeaterOn(unsigned char on) {
  return switchHeater(kCapillary, on);
}
unsigned char ZylInterface::GetCapillaryHeaterOn() {
  return capillaryHeaterOn;
}
unsigned int ZylInterface::SetCapillaryHeaterTemp(float setpoint) {
  return setHeaterSetpoint(kCapillary, setpoint);
}
float ZylInterface::GetCapillaryHeaterTemp() {
  return heaterTemperature(kCapillary);
}

unsigned int ZylInterface::SetDesolvationHeaterOn(unsigned char on) {
  return switchHeater(kDesolvation, on);
}
unsigned char ZylInterface::GetDesolvationHeaterOn() {
  return desolvationHeaterOn;
}
unsigned int ZylInterface::SetDesolvationHeaterTemp(float setpoint) {
  return setHeaterSetpoint(kDesolvation, setpoint);
}
float ZylInterface::GetDesolvationHeaterTemp() {
  return heaterTemperature(kDesolvation);
}

unsigned int ZylInterface::SetAPCIHeaterOn(unsigned char on) {
  return switchHeater(kApci, on);
}
unsigned char ZylInterface::GetAPCIHeaterOn() {
  return apciHeaterOn;
}
unsigned int ZylInterface::SetAPCIHeaterTemp(float setpoint) {
  return setHeaterSetpoint(kApci, setpoint);
}
float ZylInterface::GetAPCIHeaterTemp() {
  return heaterTemperature(kApci);
}
