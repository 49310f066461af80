// The status record as the tool shows it, made current first.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "zyl/ZylInterface.h"

namespace zyl::tool {

// Switches the V3 status stream on and waits for its first frame; false when none comes.
bool awaitStreamedStatus(ZylInterface& z);
// Makes the status record current for a reading about to be shown: older firmware is asked now
// (its getters would accept a reading up to three seconds old), V3 firmware streams it.
void refreshForDisplay(ZylInterface& z);
// "pressure P mbar, pump speed S" from readings made current.
std::string vacuumLine(ZylInterface& z);
// The status record under the shared names, made current.
nlohmann::ordered_json statusSnapshot(ZylInterface& z);
// The digital outputs 0-63 as "0"/"1" characters, from the record (nothing is sent).
std::string outputsText(ZylInterface& z);

}  // namespace zyl::tool
