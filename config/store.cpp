// The configuration store: which flash features the firmware has, and the records loaded from
// flash.
#include <cstring>

#include "link/text.h"
#include "zyl/ZylInterface.h"

namespace {

// The generation flags compare the first 13 characters of the version text.
int compareVersion(const char* version, const char* reference) {
  return zyl::detail::compareVersion(version, reference, 13);
}

}  // namespace

unsigned int ZylInterface::readFlashMemorySettings() {
  const size_t n = strnlen(firmwareVersion, sizeof firmwareVersion);
  const char* suffix = n >= 3 ? firmwareVersion + n - 3 : "";
  firmwareV3 = std::strcmp(suffix, "-V3") == 0;
  firmwareV2 = firmwareV3 || std::strcmp(suffix, "-V2") == 0;
  firmwareAfter030512 = !firmwareV3 && compareVersion(firmwareVersion, "VERSION030512") > 0;
  hasSecondFlash = piraniSelectSupported = compareVersion(firmwareVersion, "VERSION110812") >= 0;
  return ZYL_SUCCESS;
}
