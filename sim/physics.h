// The physical instrument behind the controller board: turbo pump, vacuum and the three ion-source
// heaters. One model per instrument (a firmware part), moved forward on the simulator's clock, so
// that the serial devices that switch it (pump, gauge, heater controllers) and the status reports
// that read it always agree.
//
// The model, in simulated time:
//  - the rotor speed moves linearly toward its target: full speed (kFullSpeedHz) with the run
//    switch on and standby off, kStandbySpeedHz in standby, 0 with the run switch off; it spins up
//    at kSpinUpHzPerS and coasts down at kSpinDownHzPerS;
//  - the pressure relaxes exponentially, in decades, toward the base pressure once the rotor is at
//    speed (kAtSpeedHz), toward the fore-vacuum while it turns below that, toward the vent
//    pressure when it stands still;
//  - each heater's temperature relaxes exponentially toward its set-point while it is on and
//    toward the ambient temperature while it is off.
// A full pump-down therefore takes about 15 simulated seconds, a heat-up to 200 °C about 30.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zyl::sim {

class PhysicalModel {
 public:
  static constexpr double kFullSpeedHz = 1000;
  static constexpr double kStandbySpeedHz = 660;
  static constexpr double kAtSpeedHz = 900;
  static constexpr double kSpinUpHzPerS = 100;
  static constexpr double kSpinDownHzPerS = 50;
  static constexpr double kBasePressureMbar = 2e-6;
  static constexpr double kForeVacuumMbar = 5e-2;
  static constexpr double kVentPressureMbar = 1000;
  static constexpr double kAmbientC = 20;

  struct Heater {
    bool on = false;
    double setpointC = kAmbientC;
    double temperatureC = kAmbientC;
  };

  // Moves the model to simulated time `nowMs` (the first call only sets the start).
  void advanceTo(double nowMs);
  // Lets `ms` of simulated time pass, whatever the clock says (the time an instrument ran on its
  // own between two programs).
  void elapse(double ms);

  // Pump switches as the pump's serial texts set them.
  void setRunSwitch(bool on) { runSwitch_ = on; }
  void setStandby(bool on) { standby_ = on; }
  bool runSwitch() const { return runSwitch_; }
  bool standby() const { return standby_; }
  double speedHz() const { return speedHz_; }
  void setSpeedHz(double hz) { speedHz_ = hz; }
  double pressureMbar() const { return pressureMbar_; }
  void setPressureMbar(double p) { pressureMbar_ = p; }  // for tests and demos

  // Heaters 0 capillary, 1 desolvation gas, 2 APCI gas.
  Heater& heater(int index) { return heaters_.at(static_cast<size_t>(index)); }
  const Heater& heater(int index) const { return heaters_.at(static_cast<size_t>(index)); }

 private:
  void step(double dtS);
  double targetSpeedHz() const {
    return !runSwitch_ ? 0 : standby_ ? kStandbySpeedHz : kFullSpeedHz;
  }

  bool started_ = false;
  double lastMs_ = 0;
  bool runSwitch_ = false;
  bool standby_ = false;
  double speedHz_ = 0;
  double pressureMbar_ = kVentPressureMbar;
  std::array<Heater, 3> heaters_;
};

}  // namespace zyl::sim
