// zyl demo: the tour a new user runs first. Connects, identifies the instrument, pumps down and
// waits for the vacuum, heats the capillary, sets the DACs of a scan, scans, and writes scan.csv
// and scan.svg in the current directory.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "surface/heaters.h"
#include "tools/zyl/commands.h"
#include "tools/zyl/interrupt.h"
#include "tools/zyl/progress.h"
#include "tools/zyl/readings.h"

namespace zyl::tool {
namespace {

// Waits until `done` holds, at most `seconds`, showing `line()` live; false on time-out or Ctrl-C.
bool waitFor(const char* label, double seconds, const std::function<bool()>& done,
             const std::function<std::string()>& line) {
  Spinner spinner(label);
  return waitShowing(spinner, seconds, done, line) == Waited::Reached;
}

void step(Session& session, const std::string& text) {
  if (!session.options().json) std::cerr << "zyl demo: " << text << '\n';
}

}  // namespace

void addDemoCommand(CLI::App& app, Action& run) {
  CLI::App* demo = addCommand(
      app, "demo",
      "A tour: connect, identify, pump down, heat the capillary, set the DACs, scan, write "
      "scan.csv and scan.svg",
      "zyl --sim demo");
  demo->callback([&run] {
    run = [](Session& session) -> int {
      // The tour ends writing two files here: find out first, not after the pump-down.
      if (access(".", W_OK | X_OK) != 0)
        return session.fail(kUsage,
                            "cannot write scan.csv and scan.svg in the current directory; run "
                            "zyl demo in a writable one");
      if (auto failed = session.requireInstrument()) return *failed;
      ZylInterface& z = session.instrument();
      step(session, std::string("connected to firmware ") + z.firmwareVersion +
                        (z.IsV3() ? " (V3: status streamed)" : " (older: status polled)"));
      if (z.IsV3()) awaitStreamedStatus(z);

      if (unsigned int s = z.PumpOn(); s != ZYL_SUCCESS) return session.result(s, "pump on");
      step(session, "turbo pump on, waiting for the vacuum");
      auto vacuum = [&] { return vacuumLine(z); };
      if (!waitFor(
              "pump-down", 120, [&] { return z.IsPumpSpeedOK() && z.IsPressureOK(); }, vacuum))
        return session.fail(interrupted() ? kInterrupted : kRefused,
                            "the vacuum was not ready: " + vacuum());

      constexpr float kCapillary = 150;
      if (unsigned int s = z.SetCapillaryHeaterTemp(kCapillary); s != ZYL_SUCCESS)
        return session.result(s, "capillary set-point");
      if (unsigned int s = z.SetCapillaryHeaterOn(1); s != ZYL_SUCCESS)
        return session.result(s, "capillary heater on");
      step(session, "vacuum ready; heating the capillary to 150 °C");
      const surface::Heater& capillary = surface::heaters()[0];
      auto heat = [&] {
        char text[48];
        std::snprintf(text, sizeof text, "capillary %.1f °C",
                      static_cast<double>(surface::currentTemperature(z, capillary)));
        return std::string(text);
      };
      if (!waitFor(
              "heat-up", 120,
              [&] { return surface::currentTemperature(z, capillary) >= 0.9f * kCapillary; }, heat))
        return session.fail(interrupted() ? kInterrupted : kRefused,
                            "the capillary did not heat up: " + heat());
      if (z.IsV3()) z.EnableStatusReporting(false);

      // Detector gain (fixed channel 0) and resolution (ramped channel 8).
      z.SetDACParam(0, 4096);
      z.SetScanParams(8, 2000, 4000);
      step(session, "capillary at " + heat().substr(10) + "; DACs set; scanning");
      session.print({{"firmware", z.firmwareVersion},
                     {"vacuum", vacuum()},
                     {"capillary_c", surface::currentTemperature(z, capillary)}});
      return scanToFiles(session, 1000, 60000, 500, "scan.csv", "scan.svg");
    };
  });
}

}  // namespace zyl::tool
