#include "surface/readings.h"

namespace zyl::surface {

Readings readingsOf(ZylInterface& z) {
  Readings r;
  r.vacuumReady = z.IsPressureOK() != 0;
  r.pumpAtSpeed = z.IsPumpSpeedOK() != 0;
  r.pressureMbar = z.pressureMbar.load();
  r.pumpSpeed = z.pumpSpeed.load() & 0xFFFF;
  r.pumpRunning = z.pumpRunning.load() != 0;
  r.capillaryC = z.capillaryReadback.load();
  r.desolvationC = z.desolvationReadback.load();
  r.apciC = z.apciReadback.load();
  r.digitalInputs = z.digitalInputs.load();
  for (size_t i = 0; i < r.adc.size(); ++i) r.adc[i] = z.adcChannels[i].load();
  return r;
}

unsigned int refreshReadings(ZylInterface& z) {
  return z.IsV3() ? ZYL_SUCCESS : z.ForceStatusUpdate();
}

}  // namespace zyl::surface
