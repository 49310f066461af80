// Which instrument a run talks to: the simulated one, or one of the attached instruments picked
// by --device BUS:ADDR or --serial S.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "tools/zyl/session.h"

namespace zyl::tool {

// Makes the back end the instrument object of this run will use. Throws sim::StateFileError when
// the simulated instrument refuses its state file.
void installBackend(const GlobalOptions& options);
// Writes the simulated instrument's state file, if this run made one: "" when done, else why not.
std::string saveSimulatorState();
// "BUS:ADDR" in decimal, as lsusb writes it ("001:004"); nothing when it is not that.
std::optional<std::pair<int, int>> parseBusAddress(const std::string& text);

}  // namespace zyl::tool
