// Which instrument model this is: older firmware is always the first model; firmware from
// "VERSION130904A-V3" on is asked for its model name with "-1B07" (the bare name is the reply).
#include <cstring>
#include <string_view>

#include "zyl/ZylInterface.h"

namespace {

constexpr char kModelQueryBoundary[] = "VERSION130904A-V3";
constexpr std::string_view kModelNames[] = {
    "zentra Vexa",       "zentra-S Vexa",     "zentra-L Vexa", "zentra Vexa-OEM",
    "zentra-S Vexa-OEM", "zentra-L Vexa-OEM", "zentra-C Vexa",
};

std::string_view trimBlanks(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

bool ZylInterface::InitHardwareVersion() {
  if (!firmwareVersionRead && !queryFirmwareVersion()) return false;
  if (std::strncmp(firmwareVersion, kModelQueryBoundary, sizeof kModelQueryBoundary - 1) < 0) {
    hardwareType = ZentraVexa;
    return true;
  }
  char model[80];
  long length = sizeof model;
  if (ZylUSBExecuteCommand("-1B07", reinterpret_cast<unsigned char*>(model), length, true, 2000,
                           2000) != ZYL_SUCCESS)
    return false;
  const std::string_view name = trimBlanks({model, strnlen(model, static_cast<size_t>(length))});
  for (size_t i = 0; i < std::size(kModelNames); ++i) {
    if (name == kModelNames[i]) {
      hardwareType = static_cast<VexaHardwareType>(i);
      break;
    }
  }
  return true;
}

VexaHardwareType ZylInterface::GetHardwareType() {
  return hardwareType;
}
