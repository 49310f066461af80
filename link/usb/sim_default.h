// The simulated instrument as the default back end (ZYL_BACKEND=sim).
#pragma once

#include <memory>

#include "zyl/UsbBackend.h"

namespace zyl::usb {

// One simulated instrument, configured from the environment:
//   ZYL_SIM_FIRMWARE  firmware version text (default: the simulator's, a V3 firmware)
//   ZYL_SIM_STATE     file that keeps the simulated flash between runs (default: none)
std::shared_ptr<UsbBackend> makeSimulatorFromEnvironment();

}  // namespace zyl::usb
