// zyl info: who is there and how the link stands.
#include "tools/zyl/commands.h"
#include "zyl/version.h"

namespace zyl::tool {

void addInfoCommand(CLI::App& app, Action& run) {
  CLI::App* info = addCommand(app, "info",
                              "Show the connection state, firmware version, model and the "
                              "library's version",
                              "zyl --sim=VERSION110812 info");
  info->callback([&run] {
    run = [](Session& session) -> int {
      ZylInterface& z = session.instrument();
      const CommunicationState state = z.GetCommunicationState();
      if (auto failed = session.requireInstrument()) return *failed;
      session.print({
          {"state", stateName(state)},
          {"firmware", z.firmwareVersion},
          {"v3", z.IsV3() != 0},
          {"model", z.GetHardwareTypeName(z.GetHardwareType())},
          {"simulated", simulated(session.options())},
          {"library", libraryVersion()},
      });
      return kOk;
    };
  });
}

}  // namespace zyl::tool
