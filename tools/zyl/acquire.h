// zyl acquire and zyl calibrate (tools/zyl/acquire.cpp).
#pragma once

#include "tools/zyl/commands.h"

namespace zyl::tool {
void addAcquireCommands(CLI::App& app, Action& run);
}
