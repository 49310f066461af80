// zyl pump on|off|standby [--wait SECONDS], zyl gauge setup|read: the vacuum system.
#include <cmath>
#include <thread>

#include "tools/zyl/commands.h"
#include "tools/zyl/progress.h"
#include "tools/zyl/readings.h"

namespace zyl::tool {
namespace {

// Watches the pump until `done` holds or `seconds` pass; on V3 firmware from the status stream.
int watchVacuum(Session& session, double seconds, const char* label,
                const std::function<bool(ZylInterface&)>& done) {
  ZylInterface& z = session.instrument();
  if (z.IsV3()) awaitStreamedStatus(z);
  Spinner spinner(label);
  const Waited waited = waitShowing(
      spinner, seconds, [&] { return done(z); }, [&] { return vacuumLine(z); });
  spinner.finish();
  auto out = statusSnapshot(z);
  if (z.IsV3()) z.EnableStatusReporting(false);
  out.erase("adc");
  out["waited_s"] = std::round(spinner.elapsedSeconds() * 10) / 10;
  session.print(out);
  if (waited == Waited::Interrupted)
    return session.fail(kInterrupted, std::string(label) +
                                          " interrupted (Ctrl-C); the pump keeps "
                                          "its last setting");
  if (waited == Waited::TimedOut)
    return session.fail(kRefused, std::string(label) + ": not reached within " +
                                      nlohmann::json(seconds).dump() + " s");
  return kOk;
}

}  // namespace

void addPumpAndGaugeCommands(CLI::App& app, Action& run) {
  CLI::App* pump = addCommand(app, "pump", "Switch the turbo pump",
                              "zyl --sim --sim-time-scale 10 pump on --wait 60");
  auto action = std::make_shared<std::string>();
  auto wait = std::make_shared<double>(0);
  pump->add_option("action", *action, "on, off or standby")
      ->required()
      ->check(CLI::IsMember({"on", "off", "standby"}));
  pump->add_option("--wait", *wait,
                   "Watch the pump until the vacuum is ready (on), the rotor stands (off) or it "
                   "runs (standby), for at most this many seconds (default 600)")
      ->expected(0, 1)
      ->default_str("600")
      ->type_name("SECONDS")
      ->check(within(surface::kWatchSeconds));
  CLI::Option* waitOption = pump->get_option("--wait");
  pump->callback([&run, action, wait, waitOption] {
    if (waitOption->count() > 0 && waitOption->results().empty()) *wait = 600;
    run = withInstrument([action, wait](Session& session, ZylInterface& z) -> int {
      const unsigned int status = *action == "on"    ? z.PumpOn()
                                  : *action == "off" ? z.PumpOff()
                                                     : z.PumpStandby();
      if (status != ZYL_SUCCESS) return session.result(status, "pump " + *action);
      if (*wait <= 0) {
        session.print({{"pump", *action}});
        return kOk;
      }
      if (*action == "on")
        return watchVacuum(session, *wait, "pump-down",
                           [](ZylInterface& i) { return i.IsPumpSpeedOK() && i.IsPressureOK(); });
      if (*action == "off")
        return watchVacuum(session, *wait, "run-down", [](ZylInterface& i) {
          unsigned short speed = 1;
          return i.PumpSpeed(&speed) == ZYL_SUCCESS && speed == 0;
        });
      return watchVacuum(session, *wait, "standby",
                         [](ZylInterface& i) { return i.IsPumpRunning() != 0; });
    });
  });

  CLI::App* gauge =
      addCommand(app, "gauge", "Set up or read the Pirani gauge", "zyl --sim gauge read");
  auto gaugeAction = std::make_shared<std::string>();
  gauge->add_option("action", *gaugeAction, "setup (9600 baud, mbar) or read")
      ->required()
      ->check(CLI::IsMember({"setup", "read"}));
  gauge->callback([&run, gaugeAction] {
    run = withInstrument([gaugeAction](Session& session, ZylInterface& z) -> int {
      if (*gaugeAction == "setup") {
        z.PiraniSetup();  // the gauge's answers are not checked: it reports nothing
        session.print({{"gauge", "set up: 9600 baud, mbar"}});
        return kOk;
      }
      if (z.IsV3()) awaitStreamedStatus(z);
      double pressure = 0;
      const unsigned int status =
          z.IsV3() ? z.PiraniPressureMBar(&pressure) : z.ForceStatusUpdate();
      if (!z.IsV3()) z.PiraniPressureMBar(&pressure);
      if (z.IsV3()) z.EnableStatusReporting(false);
      if (status != ZYL_SUCCESS) return session.result(status, "gauge read");
      session.print({{"pressure_mbar", pressure}, {"vacuum_ready", z.IsPressureOK() != 0}});
      return kOk;
    });
  });
}

}  // namespace zyl::tool
