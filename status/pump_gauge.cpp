// Readings of the turbo pump and the Pirani gauge. They reach the status record through the
// controller's own polling of both serial devices; the getters here read that record (refreshing
// it first where the firmware is polled) and apply the vacuum-ready thresholds. Switching the pump
// and setting the gauge up are serial-device commands (peripherals/pump_gauge_switch.cpp).
#include "zyl/ZylInterface.h"

namespace {

constexpr double kVacuumReadyMbar = 0.01;
constexpr uint16_t kAtSpeed = 900;
constexpr double kHeliumFactor = 0.1;
constexpr double kDefaultGasFactor = 0.001234;

}  // namespace

std::atomic<double> ZylInterface::heliumFactor{kDefaultGasFactor};

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
