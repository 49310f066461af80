#include "surface/heaters.h"

#include <algorithm>

namespace zyl::surface {
namespace {

constexpr Heater kHeaters[] = {
    {"capillary", &ZylInterface::SetCapillaryHeaterOn, &ZylInterface::GetCapillaryHeaterOn,
     &ZylInterface::SetCapillaryHeaterTemp, &ZylInterface::GetCapillaryHeaterTemp,
     &ZylInterface::capillaryHeaterSetpoint},
    {"desolvation", &ZylInterface::SetDesolvationHeaterOn, &ZylInterface::GetDesolvationHeaterOn,
     &ZylInterface::SetDesolvationHeaterTemp, &ZylInterface::GetDesolvationHeaterTemp,
     &ZylInterface::desolvationHeaterSetpoint},
    {"apci", &ZylInterface::SetAPCIHeaterOn, &ZylInterface::GetAPCIHeaterOn,
     &ZylInterface::SetAPCIHeaterTemp, &ZylInterface::GetAPCIHeaterTemp,
     &ZylInterface::apciHeaterSetpoint},
};

}  // namespace

std::span<const Heater> heaters() {
  return kHeaters;
}

std::vector<const Heater*> heatersNamed(std::string_view names, std::string& error) {
  std::vector<const Heater*> out;
  for (size_t begin = 0;;) {
    const size_t comma = names.find(',', begin);
    const std::string_view name = names.substr(begin, comma - begin);
    const auto found = std::find_if(std::begin(kHeaters), std::end(kHeaters),
                                    [&](const Heater& h) { return name == h.name; });
    if (found == std::end(kHeaters) || std::find(out.begin(), out.end(), found) != out.end()) {
      error = std::string(found == std::end(kHeaters) ? "unknown" : "repeated") + " heater \"" +
              std::string(name) + "\": the heaters are capillary, desolvation and apci";
      return {};
    }
    out.push_back(found);
    if (comma == std::string_view::npos) return out;
    begin = comma + 1;
  }
}

float currentTemperature(ZylInterface& z, const Heater& heater) {
  if (!z.IsV3() && z.heaterReadbacksInStatus) z.UpdateStatusIfNeeded();
  return (z.*heater.getTemp)();
}

}  // namespace zyl::surface
