// zyl acquire and zyl calibrate (tools/zyl/acquire.cpp).
#pragma once

#include "tools/zyl/commands.h"
#include "zyl/Acquisition.h"

namespace zyl::tool {
void addAcquireCommands(CLI::App& app, Action& run);
// What a run's mzML file says about the instrument and the source settings it used.
acq::MzmlInfo describeRun(ZylInterface& z, const acq::Method& m, bool centroid);
}  // namespace zyl::tool
