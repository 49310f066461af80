// The turbo pump and the Pirani gauge. Both are serial devices: the host only switches the pump
// and sets the gauge up, through the serial passthrough; their readings reach the status record
// through the controller's own polling, and the getters here read that record (refreshing it
// first where the firmware is polled) and apply the vacuum-ready thresholds.
//
// What the pump and the gauge answer is read (to empty the port) but never examined, so a refused
// switch still reports success; only a failing passthrough gives ZYL_COMM_FAILURE.
#include "link/clock.h"
#include "zyl/ZylInterface.h"

namespace {

constexpr double kVacuumReadyMbar = 0.01;
constexpr uint16_t kAtSpeed = 900;
constexpr double kHeliumFactor = 0.1;
constexpr double kDefaultGasFactor = 0.001234;
constexpr long kReplyCapacity = 64;
constexpr uint32_t kGaugePauseMs = 5;

constexpr char kRunOn[] = "!C852 1\r";
constexpr char kRunOff[] = "!C852 0\r";
constexpr char kStandbyOff[] = "!C869 0\r";
constexpr char kStandbyOn[] = "!C869 1\r";
constexpr char kGaugeBaud[] = "@254BR!9600;FF";
constexpr char kGaugeMbar[] = "@254U!MBAR;FF";

}  // namespace

std::atomic<double> ZylInterface::heliumFactor{kDefaultGasFactor};

unsigned int ZylInterface::pumpExchange(const char* text) {
  char reply[kReplyCapacity];
  long length = sizeof reply;
  return serialCommand(pumpChannel, text, reply, length, false) == ZYL_SUCCESS ? ZYL_SUCCESS
                                                                               : ZYL_COMM_FAILURE;
}

unsigned int ZylInterface::PumpOn() {
  if (pumpExchange(kRunOn) != ZYL_SUCCESS) return ZYL_COMM_FAILURE;
  return pumpExchange(kStandbyOff);
}

unsigned int ZylInterface::PumpStandby() {
  if (pumpExchange(kRunOn) != ZYL_SUCCESS) return ZYL_COMM_FAILURE;
  return pumpExchange(kStandbyOn);
}

unsigned int ZylInterface::PumpOff() {
  return pumpExchange(kRunOff);
}

unsigned int ZylInterface::PiraniSetup() {
  // The gauge may be set up before it answers at all: every result here is ignored.
  char reply[kReplyCapacity];
  long length = sizeof reply;
  ZylUSBReadSerialASCII(gaugeChannel, reply, length);
  for (const char* text : {kGaugeBaud, kGaugeMbar}) {
    ZylUSBWriteSerialASCII(gaugeChannel, text);
    zyl::detail::clock().sleepMs(kGaugePauseMs);
    length = sizeof reply;
    ZylUSBReadSerialASCII(gaugeChannel, reply, length);
  }
  return ZYL_SUCCESS;
}

unsigned int ZylInterface::PumpSpeed(unsigned short* speed) {
  if (const unsigned int status = UpdateStatusIfNeeded(); status != ZYL_SUCCESS) return status;
  if (speed) *speed = static_cast<unsigned short>(pumpSpeed.load() & 0xFFFF);
  return ZYL_SUCCESS;
}

unsigned int ZylInterface::PiraniPressureMBar(double* pressure) {
  if (const unsigned int status = UpdateStatusIfNeeded(); status != ZYL_SUCCESS) return status;
  if (pressure) *pressure = pressureMbar.load();
  return ZYL_SUCCESS;
}

unsigned char ZylInterface::IsPressureOK() {
  UpdateStatusIfNeeded();  // a failed refresh leaves the last known reading to judge
  return pressureMbar.load() <= kVacuumReadyMbar ? 1 : 0;  // false for a NaN too
}

unsigned char ZylInterface::IsPumpSpeedOK() {
  UpdateStatusIfNeeded();
  return static_cast<uint16_t>(pumpSpeed.load() & 0xFFFF) >= kAtSpeed ? 1 : 0;
}

unsigned char ZylInterface::IsPumpRunning() {
  return pumpRunning.load() ? 1 : 0;
}

unsigned int ZylInterface::SetUsingHelium(bool helium) {
  heliumFactor = helium ? kHeliumFactor : kDefaultGasFactor;
  return ZYL_SUCCESS;
}

unsigned char ZylInterface::GetUsingHelium() {
  return heliumFactor.load() == kHeliumFactor ? 1 : 0;
}
