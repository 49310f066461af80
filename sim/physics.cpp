#include "sim/physics.h"

#include <algorithm>
#include <cmath>

namespace zyl::sim {
namespace {

constexpr double kPumpDownTauS = 2.0;  // per e-fold of the pressure, in decades
constexpr double kVentTauS = 20.0;
constexpr double kHeatTauS = 8.0;
constexpr double kCoolTauS = 30.0;

// Exact solution of a first-order relaxation over `dtS`: stable for any step.
double relax(double value, double target, double tauS, double dtS) {
  return target + (value - target) * std::exp(-dtS / tauS);
}

}  // namespace

void PhysicalModel::advanceTo(double nowMs) {
  if (!started_) {
    started_ = true;
    lastMs_ = nowMs;
    return;
  }
  if (nowMs > lastMs_) elapse(nowMs - lastMs_);
  lastMs_ = std::max(lastMs_, nowMs);
}

// Steps of at most 100 ms while the rotor changes speed, so that the pressure sees it come up to
// speed however far the clock jumps (a test may advance it by minutes at once). Once it turns at
// its target every relaxation has a fixed goal and one exact step covers the rest, so days away
// cost no more than seconds.
void PhysicalModel::elapse(double ms) {
  while (ms > 0) {
    const double stepMs = speedHz_ == targetSpeedHz() ? ms : std::min(ms, 100.0);
    step(stepMs / 1000.0);
    ms -= stepMs;
  }
}

void PhysicalModel::step(double dtS) {
  const double target = targetSpeedHz();
  const double goal = speedHz_ >= kAtSpeedHz ? kBasePressureMbar
                      : speedHz_ > 0         ? kForeVacuumMbar
                                             : kVentPressureMbar;
  const double tau = goal < pressureMbar_ ? kPumpDownTauS : kVentTauS;
  pressureMbar_ = std::pow(10.0, relax(std::log10(pressureMbar_), std::log10(goal), tau, dtS));

  if (speedHz_ < target)
    speedHz_ = std::min(target, speedHz_ + kSpinUpHzPerS * dtS);
  else
    speedHz_ = std::max(target, speedHz_ - kSpinDownHzPerS * dtS);

  for (Heater& h : heaters_) {
    const double toward = h.on ? h.setpointC : kAmbientC;
    h.temperatureC = relax(h.temperatureC, toward, h.on ? kHeatTauS : kCoolTauS, dtS);
  }
}

}  // namespace zyl::sim
