// The status record under the names every surface shows it by ("pressure_mbar", "capillary_c",
// ...), in one order.
#pragma once

#include <array>
#include <cstdint>

#include "zyl/ZylInterface.h"

namespace zyl::surface {

struct Readings {
  double pressureMbar = 0;
  bool vacuumReady = false;
  unsigned pumpSpeed = 0;
  bool pumpAtSpeed = false;
  bool pumpRunning = false;
  float capillaryC = 0, desolvationC = 0, apciC = 0;
  unsigned digitalInputs = 0;
  std::array<unsigned, 32> adc{};
};

// The record as it stands. Only older firmware's judgments of vacuum and speed may refresh a
// record older than three seconds; on V3 firmware nothing is sent, so the status callback may
// call it.
Readings readingsOf(ZylInterface& z);
// Makes the record current for readings about to be shown: older firmware is asked now; V3
// firmware streams it (the caller has the stream on). 0, or the status code of the refresh.
unsigned int refreshReadings(ZylInterface& z);

// Calls f(name, value) for each reading, in the order shown.
template <class F>
void forEachReading(const Readings& r, F&& f) {
  f("pressure_mbar", r.pressureMbar);
  f("vacuum_ready", r.vacuumReady);
  f("pump_speed", r.pumpSpeed);
  f("pump_at_speed", r.pumpAtSpeed);
  f("pump_running", r.pumpRunning);
  f("capillary_c", r.capillaryC);
  f("desolvation_c", r.desolvationC);
  f("apci_c", r.apciC);
  f("digital_inputs", r.digitalInputs);
  f("adc", r.adc);
}

}  // namespace zyl::surface
