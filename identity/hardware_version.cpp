// Which instrument model this is: older firmware is always the first model; firmware from
// "VERSION130904A-V3" on is asked for its model name with "-1B07" (the bare name is the reply).
#include <cstring>
#include <string_view>

#include "config/identity_types.h"
#include "link/text.h"
#include "zyl/ZylInterface.h"

namespace {

constexpr char kModelQueryBoundary[] = "VERSION130904A-V3";
}  // namespace

bool ZylInterface::InitHardwareVersion() {
  if (!firmwareVersionRead && !InitFirmwareVersion()) return false;
  if (zyl::detail::compareVersion(firmwareVersion, kModelQueryBoundary, 17) < 0) {
    hardwareType = ZentraVexa;
    return true;
  }
  char model[80];
  long length = sizeof model;
  if (ZylUSBExecuteCommand("-1B07", reinterpret_cast<unsigned char*>(model), length, true, 2000,
                           2000) != ZYL_SUCCESS)
    return false;
  const std::string_view name =
      zyl::detail::trimBlanks({model, strnlen(model, static_cast<size_t>(length))});
  for (size_t i = 0; i < std::size(zyl::detail::kModelNames); ++i) {
    if (name == zyl::detail::kModelNames[i]) {
      hardwareType = static_cast<VexaHardwareType>(i);
      break;
    }
  }
  return true;
}

VexaHardwareType ZylInterface::GetHardwareType() {
  return hardwareType;
}
