#include "link/usb/sim_default.h"

#include <cstdio>
#include <cstdlib>

#include "zyl/sim/SimBackend.h"

namespace zyl::usb {

std::shared_ptr<UsbBackend> makeSimulatorFromEnvironment() {
  sim::InstrumentOptions options;
  if (const char* firmware = std::getenv("ZYL_SIM_FIRMWARE"); firmware && *firmware)
    options.firmwareVersion = firmware;
  if (const char* state = std::getenv("ZYL_SIM_STATE"); state && *state) options.stateFile = state;
  try {
    return std::make_shared<sim::SimBackend>(std::make_shared<sim::Instrument>(options));
  } catch (const sim::StateFileError& e) {
    // The library never throws to its host: the program finds no instrument, and this says why.
    std::fprintf(stderr, "zyl simulator: %s\n", e.what());
    return std::make_shared<sim::SimBackend>();
  }
}

}  // namespace zyl::usb
