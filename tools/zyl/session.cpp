#include "tools/zyl/session.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string_view>

#include "zyl/sim/SimBackend.h"

namespace zyl::tool {

bool simulated(const GlobalOptions& options) {
  const char* backend = std::getenv("ZYL_BACKEND");
  return options.sim.has_value() || (backend && std::string_view(backend) == "sim");
}

const char* stateName(CommunicationState state) {
  switch (state) {
    case CommNotConnected:
      return "CommNotConnected";
    case CommNoResponse:
      return "CommNoResponse";
    case CommConnected:
      return "CommConnected";
    case CommInitialized:
      return "CommInitialized";
  }
  return "unknown";
}

Session::Session(const GlobalOptions& options) : options_(options) {
  if (options_.sim) {
    sim::InstrumentOptions simOptions;
    if (!options_.sim->empty()) simOptions.firmwareVersion = *options_.sim;
    usb::useBackend(
        std::make_shared<sim::SimBackend>(std::make_shared<sim::Instrument>(simOptions)));
  }
  instrument_ =
      std::make_unique<ZylInterface>(options_.logDir.empty() ? nullptr : options_.logDir.c_str());
}

void Session::print(const nlohmann::ordered_json& result) const {
  if (options_.json) {
    std::cout << result.dump(2) << '\n';
    return;
  }
  size_t width = 0;
  for (auto& [key, value] : result.items()) width = std::max(width, key.size());
  for (auto& [key, value] : result.items()) {
    std::string text;
    if (value.is_string())
      text = value.get<std::string>();
    else if (value.is_boolean())
      text = value.get<bool>() ? "yes" : "no";
    else
      text = value.dump();
    std::cout << key << ':' << std::string(width - key.size() + 2, ' ') << text << '\n';
  }
}

int Session::fail(Exit code, const std::string& message) const {
  if (options_.json)
    std::cout << nlohmann::json{{"error", message}, {"exit", static_cast<int>(code)}}.dump(2)
              << '\n';
  else
    std::cerr << "zyl: " << message << '\n';
  return code;
}

std::optional<int> Session::requireInstrument() {
  const CommunicationState state = instrument_->GetCommunicationState();
  if (state == CommConnected || state == CommInitialized) return std::nullopt;
  return fail(kNoInstrument, std::string("no instrument answered (") + stateName(state) +
                                 "); connect one, or run with --sim to use the simulated "
                                 "instrument");
}

}  // namespace zyl::tool
