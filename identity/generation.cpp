// What the firmware generation offers, decided from its version text: the status stream and scan
// pipe of V3, the DAC commands of firmware after 030512, the second flash region and the Pirani
// selection of firmware from 110812. Version texts are compared on their first 13 characters.
#include <cstring>

#include "link/text.h"
#include "zyl/ZylInterface.h"

namespace {

constexpr size_t kComparedCharacters = 13;

int compareVersion(const char* version, const char* reference) {
  return zyl::detail::compareVersion(version, reference, kComparedCharacters);
}

}  // namespace

void ZylInterface::deriveGenerationFlags() {
  const size_t n = strnlen(firmwareVersion, sizeof firmwareVersion);
  const char* suffix = n >= 3 ? firmwareVersion + n - 3 : "";
  firmwareV3 = std::strcmp(suffix, "-V3") == 0;
  firmwareV2 = firmwareV3 || std::strcmp(suffix, "-V2") == 0;
  firmwareAfter030512 = !firmwareV3 && compareVersion(firmwareVersion, "VERSION030512") > 0;
  hasSecondFlash = piraniSelectSupported = compareVersion(firmwareVersion, "VERSION110812") >= 0;
}
