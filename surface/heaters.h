// The three ion-source heaters as every surface names them, with the operations of each.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zyl/ZylInterface.h"

namespace zyl::surface {

struct Heater {
  const char* name;  // "capillary", "desolvation", "apci"
  unsigned int (ZylInterface::*setOn)(unsigned char);
  unsigned char (ZylInterface::*getOn)();
  unsigned int (ZylInterface::*setTemp)(float);
  float (ZylInterface::*getTemp)();
  float ZylInterface::*setpoint;
};

std::span<const Heater> heaters();
// "capillary,desolvation": the heaters in the order given. Empty with `error` set when a name is
// unknown or repeated.
std::vector<const Heater*> heatersNamed(std::string_view names, std::string& error);

// The heater's temperature as it is now. Where the readback comes from the status (V3 firmware's
// stream, older firmware with Watlow controllers), older firmware's status is refreshed first.
float currentTemperature(ZylInterface& z, const Heater& heater);

}  // namespace zyl::surface
