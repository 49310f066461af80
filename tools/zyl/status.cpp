// zyl status [--watch [SECONDS]]: the instrument's status record, once or repeatedly.
#include <atomic>
#include <cmath>
#include <thread>

#include "tools/zyl/session.h"

namespace zyl::tool {
namespace {

std::atomic<unsigned> framesSeen{0};
void countFrame() {
  framesSeen.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

bool awaitStreamedStatus(ZylInterface& z) {
  const unsigned before = framesSeen.load();
  z.SetStatusCallback(&countFrame);  // process-wide: one instrument per run
  z.EnableStatusReporting(true);
  for (int i = 0; i < 30; ++i) {
    if (framesSeen.load() != before) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void refreshForDisplay(ZylInterface& z) {
  if (!z.IsV3()) z.ForceStatusUpdate();
}

nlohmann::ordered_json statusSnapshot(ZylInterface& z) {
  double pressure = 0;
  unsigned short speed = 0;
  const unsigned int refresh = z.IsV3() ? z.PiraniPressureMBar(&pressure) : z.ForceStatusUpdate();
  if (!z.IsV3()) z.PiraniPressureMBar(&pressure);
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
  CLI::App* cmd = addCommand(app, "status", "Show pressure, pump, heaters, inputs and ADCs",
                             "zyl --sim status --watch 10     (--json: one JSON object per line)");
  auto watch = std::make_shared<double>(0);
  CLI::Option* watchOption =
      cmd->add_option("--watch", *watch,
                      "Show the status every second, for this many seconds or, without a number, "
                      "until interrupted (Ctrl-C)")
          ->expected(0, 1)
          ->check(CLI::Range(0.0, 86400.0));
  cmd->callback([&run, watch, watchOption] {
    // "--watch" alone (or "--watch 0") follows the status until Ctrl-C.
    const bool untilInterrupted = watchOption->count() > 0 && *watch == 0;
    run = [watch, untilInterrupted](Session& session) -> int {
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      if (z.IsV3() && !awaitStreamedStatus(z)) {
        z.EnableStatusReporting(false);
        return session.fail(kRefused, "the instrument streams no status frames");
      }
      const bool watching = untilInterrupted || *watch > 0;
      const auto start = std::chrono::steady_clock::now();
      const auto limit = std::chrono::duration<double>(*watch);
      for (;;) {
        auto snapshot = statusSnapshot(z);
        if (watching) {
          const double t =
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
          nlohmann::ordered_json timed{{"t_s", std::round(t * 1000) / 1000}};
          timed.update(snapshot);
          snapshot = std::move(timed);
        }
        if (watching)
          session.printLine(snapshot);
        else
          session.print(snapshot);
        if (!watching || (!untilInterrupted && std::chrono::steady_clock::now() - start >= limit))
          break;
        if (!sleepUnlessInterrupted(std::chrono::seconds(1))) break;
      }
      if (z.IsV3()) z.EnableStatusReporting(false);  // also after Ctrl-C: the stream is stopped
      return kOk;
    };
  });
}

}  // namespace zyl::tool
