// zyl info: who is there and how the link stands.
#include "tools/zyl/session.h"

namespace zyl::tool {

void addInfoCommand(CLI::App& app, Action& run) {
  CLI::App* info = app.add_subcommand("info", "Show the connection state and firmware version");
  info->callback([&run] {
    run = [](Session& session) -> int {
      ZylInterface& z = session.instrument();
      const CommunicationState state = z.GetCommunicationState();
      if (auto failed = session.requireInstrument()) return *failed;
      static const char* const models[] = {
          "zentra Vexa",       "zentra-S Vexa",     "zentra-L Vexa", "zentra Vexa-OEM",
          "zentra-S Vexa-OEM", "zentra-L Vexa-OEM", "zentra-C Vexa"};
      const int type = z.GetHardwareType();
      session.print({
          {"state", stateName(state)},
          {"firmware", z.firmwareVersion},
          {"v3", z.IsV3() != 0},
          {"model", type >= 0 && type < 7 ? models[type] : "unknown"},
          {"simulated", simulated(session.options())},
      });
      return kOk;
    };
  });
}

}  // namespace zyl::tool
