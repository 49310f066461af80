// Commands of the instrument link: identification of the firmware and of the model.
#include <zyl/sim/Firmware.h>

namespace zyl::sim {

namespace {

// Firmware from this version on knows the model it is built into.
constexpr std::string_view kModelAwareVersion = "VERSION130904A-V3";

}  // namespace

void installLinkCommands(Firmware& firmware) {
  firmware.on("05", [](CommandContext& c) { c.reply(c.state().version); });
  firmware.on("07", [](CommandContext& c) {
    std::string_view v = c.state().version;
    if (v.substr(0, kModelAwareVersion.size()) < kModelAwareVersion) return c.refuse();
    c.reply(c.state().model);
  });
}

}  // namespace zyl::sim
