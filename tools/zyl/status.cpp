// zyl status [--watch SECONDS]: the instrument's status record, once or repeatedly.
#include <thread>

#include "tools/zyl/session.h"

namespace zyl::tool {
namespace {

// V3 firmware streams its status: switch the stream on and wait for the first frame.
bool awaitStreamedStatus(ZylInterface& z) {
  const uint64_t before = z.lastStatusTimeMs;
  z.EnableStatusReporting(true);
  for (int i = 0; i < 30; ++i) {
    if (z.lastStatusTimeMs != before) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace

nlohmann::ordered_json statusSnapshot(ZylInterface& z) {
  double pressure = 0;
  unsigned short speed = 0;
  const unsigned int refresh = z.PiraniPressureMBar(&pressure);
  z.PumpSpeed(&speed);
  nlohmann::ordered_json adc = nlohmann::json::array();
  for (unsigned char ch = 0; ch < 32; ++ch) adc.push_back(z.ReadADC(ch));
  char text[1024] = "";
  z.GetStatusString(text);
  nlohmann::ordered_json out = {
      {"pressure_mbar", pressure},
      {"vacuum_ready", z.IsPressureOK() != 0},
      {"pump_speed", speed},
      {"pump_at_speed", z.IsPumpSpeedOK() != 0},
      {"pump_running", z.IsPumpRunning() != 0},
      {"capillary_c", z.capillaryReadback.load()},
      {"desolvation_c", z.desolvationReadback.load()},
      {"apci_c", z.apciReadback.load()},
      {"digital_inputs", z.digitalInputs.load()},
      {"adc", adc},
  };
  if (refresh != ZYL_SUCCESS) out["refresh"] = statusText(refresh);
  return out;
}

void addStatusCommand(CLI::App& app, Action& run) {
  CLI::App* cmd = app.add_subcommand("status", "Show pressure, pump, heaters, inputs and ADCs");
  auto watch = std::make_shared<double>(0);
  cmd->add_option("--watch", *watch, "Show the status every second for this many seconds")
      ->check(CLI::Range(0.0, 86400.0));
  cmd->callback([&run, watch] {
    run = [watch](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      if (z.IsV3() && !awaitStreamedStatus(z))
        return session.fail(kRefused, "the instrument streams no status frames");
      const auto start = std::chrono::steady_clock::now();
      for (;;) {
        auto snapshot = statusSnapshot(z);
        if (*watch > 0) {
          const double t =
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          nlohmann::ordered_json timed{{"t_s", t}};
          timed.update(snapshot);
          snapshot = std::move(timed);
        }
        session.print(snapshot);
        if (std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(*watch))
          break;
        std::this_thread::sleep_for(std::chrono::seconds(1));
      }
      if (z.IsV3()) z.EnableStatusReporting(false);
      return kOk;
    };
  });
}

}  // namespace zyl::tool
