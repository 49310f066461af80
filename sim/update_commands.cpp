// Firmware update on the simulated controller: "-1B88A5" opens an update, each "-1B89" carries
// 256 bytes of image as 512 hexadecimal digits (either case), "-1B885A" ends it. Any image is
// taken; if it holds the text "VERSION", that text (up to the first byte that is not a printable
// character, at most 79 characters) becomes the version the firmware reports from then on, and
// with it the generation it behaves as. An image without one keeps the old version. A block
// outside an update, a block of another length or with other characters, and an end without a
// start are refused.
#include <zyl/sim/Firmware.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/hex.h"

namespace zyl::sim {

namespace {

constexpr size_t kBlockDigits = 512;
constexpr size_t kMaxVersion = 79;
constexpr std::string_view kVersionMark = "VERSION";

struct FirmwareUpdate {
  bool open = false;
  std::vector<uint8_t> image;
};

std::string versionIn(const std::vector<uint8_t>& image) {
  const auto at = std::search(image.begin(), image.end(), kVersionMark.begin(), kVersionMark.end());
  std::string version;
  for (auto it = at; it != image.end() && version.size() < kMaxVersion && *it > ' ' && *it < 0x7F;
       ++it)
    version += static_cast<char>(*it);
  return version;
}

}  // namespace

void installUpdateCommands(Firmware& firmware) {
  firmware.on("88", [](CommandContext& c) {
    FirmwareUpdate& update = c.state().part<FirmwareUpdate>();
    if (c.args() == "A5") {
      update = {.open = true, .image = {}};
    } else if (c.args() == "5A" && update.open) {
      update.open = false;
      if (std::string version = versionIn(update.image); !version.empty())
        c.state().version = std::move(version);
    } else {
      return c.refuse();
    }
    c.ack();
  });
  firmware.on("89", [](CommandContext& c) {
    FirmwareUpdate& update = c.state().part<FirmwareUpdate>();
    const std::string_view digits = c.args();
    if (!update.open || digits.size() != kBlockDigits) return c.refuse();
    const size_t start = update.image.size();
    update.image.resize(start + kBlockDigits / 2);
    for (size_t i = 0; i < kBlockDigits / 2; ++i) {
      const auto byte = hexField(digits.substr(2 * i, 2));
      if (!byte) {
        update.image.resize(start);
        return c.refuse();
      }
      update.image[start + i] = static_cast<uint8_t>(*byte);
    }
    c.ack();
  });
}

}  // namespace zyl::sim
