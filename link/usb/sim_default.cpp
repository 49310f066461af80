#include "link/usb/sim_default.h"

#include <cstdlib>

#include "zyl/sim/SimBackend.h"

namespace zyl::usb {

std::shared_ptr<UsbBackend> makeSimulatorFromEnvironment() {
  sim::InstrumentOptions options;
  if (const char* firmware = std::getenv("ZYL_SIM_FIRMWARE"); firmware && *firmware)
    options.firmwareVersion = firmware;
  if (const char* state = std::getenv("ZYL_SIM_STATE"); state && *state) options.flashFile = state;
  return std::make_shared<sim::SimBackend>(std::make_shared<sim::Instrument>(options));
}

}  // namespace zyl::usb
