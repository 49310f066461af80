// zyl heater NAME[,NAME...] on|off|temp T [--temp T] [--watch DURATION]: switch ion-source
// heaters, give them a set-point, and follow their temperatures in the same run. A gas heater
// refused by the interlock while the capillary heats up waits for it (at most the 44 s the
// interlock allows), with progress, until Ctrl-C.
#include <cmath>
#include <ctime>
#include <string>
#include <vector>

#include "surface/heaters.h"
#include "surface/readings.h"
#include "tools/zyl/commands.h"
#include "tools/zyl/interrupt.h"
#include "tools/zyl/progress.h"
#include "tools/zyl/readings.h"

namespace zyl::tool {
namespace {

using surface::Heater;
using Heaters = std::vector<const Heater*>;

// The interlock gives way at the latest this long after the capillary started heating.
constexpr double kInterlockWaitSeconds = 46;

// "20s", "20", "1.5m", "500ms" in seconds; negative when the text is none of these.
double parseDuration(const std::string& text) {
  size_t used = 0;
  double value = -1;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    return -1;
  }
  const std::string unit = text.substr(used);
  if (!std::isfinite(value) || value < 0) return -1;
  if (unit.empty() || unit == "s") return value;
  if (unit == "ms") return value / 1000;
  if (unit == "m" || unit == "min") return value * 60;
  if (unit == "h") return value * 3600;
  return -1;
}

std::string degrees(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f °C", static_cast<double>(value));
  return text;
}

struct Args {
  std::string names;
  std::string action;
  float value = 0;
  float temp = 0;
  bool tempGiven = false;
  std::string watch;
};

std::string readings(ZylInterface& z, const Heaters& heaters) {
  std::string line;
  for (const Heater* h : heaters) {
    if (!line.empty()) line += ", ";
    line += std::string(h->name) + " " + degrees(surface::currentTemperature(z, *h)) +
            " (set-point " + degrees(z.*h->setpoint) + ")";
  }
  return line;
}

// Switches a gas heater on, waiting while the interlock refuses it for the capillary's heat-up.
unsigned int switchOnWaiting(ZylInterface& z, const Heater& heater) {
  unsigned int status = (z.*heater.setOn)(1);
  if (status != ZYL_HEATER_INTERLOCK) return status;
  Spinner spinner(std::string(heater.name) + " waits for the capillary");
  const Waited waited = waitShowing(
      spinner, kInterlockWaitSeconds,
      [&] { return (status = (z.*heater.setOn)(1)) != ZYL_HEATER_INTERLOCK; },
      [&] { return readings(z, {&surface::heaters()[0]}); });
  return waited == Waited::Reached ? status : ZYL_HEATER_INTERLOCK;
}

int switchHeaters(Session& session, ZylInterface& z, const Args& args, const Heaters& heaters) {
  for (const Heater* heater : heaters) {
    const std::string name = heater->name;
    if (args.action == "temp" || args.tempGiven) {
      const float setpoint = args.action == "temp" ? args.value : args.temp;
      if (unsigned int status = (z.*heater->setTemp)(setpoint); status != ZYL_SUCCESS)
        return session.result(status, name + " set-point");
    }
    if (args.action == "temp") continue;
    const unsigned int status =
        args.action == "on" ? switchOnWaiting(z, *heater) : (z.*heater->setOn)(0);
    if (interrupted())
      return session.fail(kInterrupted, name + " heater not switched: interrupted (Ctrl-C)");
    if (status == ZYL_HEATER_INTERLOCK) return session.fail(kRefused, interlockRefusal(name, true));
    if (status != ZYL_SUCCESS) return session.result(status, name + " heater " + args.action);
  }
  return kOk;
}

nlohmann::ordered_json follow(Session& session, ZylInterface& z, const Heaters& heaters,
                              double seconds) {
  nlohmann::ordered_json samples = nlohmann::json::array();
  Spinner spinner("heating");
  const bool lines = !session.options().json && !spinner.live();
  for (double nextSample = 0; spinner.elapsedSeconds() < seconds;) {
    const double t = spinner.elapsedSeconds();
    if (t >= nextSample) {
      surface::refreshReadings(z);
      nlohmann::ordered_json sample{{"t_s", std::round(t * 10) / 10}};
      for (const Heater* h : heaters)
        sample[std::string(h->name) + "_c"] = surface::currentTemperature(z, *h);
      samples.push_back(sample);
      if (lines) std::printf("%5.1f s  %s\n", t, readings(z, heaters).c_str());
      std::fflush(stdout);
      nextSample += 1.0;
    }
    spinner.update(readings(z, heaters));
    if (!sleepUnlessInterrupted(std::chrono::milliseconds(200))) break;
  }
  return samples;
}

int runHeater(Session& session, ZylInterface& z, const Args& args, const Heaters& heaters,
              double watchSeconds) {
  int code = switchHeaters(session, z, args, heaters);
  // On V3 firmware the readbacks come with the status stream; older firmware is asked.
  const bool streamed = z.IsV3() && awaitStreamedStatus(z);
  nlohmann::ordered_json samples;
  if (code == kOk && watchSeconds > 0) samples = follow(session, z, heaters, watchSeconds);
  surface::refreshReadings(z);
  // Every named heater's final state, also when a step failed.
  nlohmann::ordered_json out;
  for (const Heater* h : heaters) {
    const std::string name = h->name;
    out[name + "_on"] = (z.*h->getOn)() != 0;
    out[name + "_setpoint_c"] = z.*h->setpoint;
    out[name + "_c"] = surface::currentTemperature(z, *h);
  }
  if (streamed) z.EnableStatusReporting(false);
  if (session.options().json && !samples.is_null()) out["samples"] = samples;
  session.print(out);
  if (code == kOk && interrupted()) code = session.fail(kInterrupted, "watch interrupted (Ctrl-C)");
  return code;
}

}  // namespace

std::string interlockRefusal(const std::string& heater, bool waited) {
  if (waited)
    return "the " + heater +
           " heater stayed locked: the capillary did not reach 90 % of its set-point within the "
           "44 s the interlock allows";
  return "the " + heater +
         " heater is locked: the capillary has not reached 90 % of its set-point yet (the "
         "interlock gives way at the latest 44 s after the capillary started heating)";
}

void addHeaterCommand(CLI::App& app, Action& run) {
  CLI::App* cmd = addCommand(app, "heater", "Switch ion-source heaters or give their set-point",
                             "zyl --sim heater capillary,desolvation on --temp 200 --watch 20s");
  auto args = std::make_shared<Args>();
  cmd->add_option("name", args->names,
                  "capillary, desolvation or apci; several separated by commas are switched in "
                  "that order, a gas heater waiting (at most 44 s) for the capillary's heat-up")
      ->type_name("{capillary,desolvation,apci}")
      ->required();
  cmd->add_option("action", args->action, "on, off, or temp followed by the set-point in °C")
      ->required()
      ->check(CLI::IsMember({"on", "off", "temp"}));
  CLI::Option* value = cmd->add_option("T", args->value, "set-point in °C (with temp), 0 to 500")
                           ->check(within(surface::kHeaterSetpoint));
  CLI::Option* temp =
      cmd->add_option("--temp", args->temp, "Give this set-point (°C, 0 to 500) before switching")
          ->check(within(surface::kHeaterSetpoint));
  cmd->add_option("--watch", args->watch,
                  "Follow the temperatures for this long afterwards (20s, 90, 2m)")
      ->type_name("DURATION");
  cmd->callback([&run, args, value, temp] {
    if (args->action == "temp" && value->count() == 0)
      throw CLI::ValidationError("temp", "needs the set-point: heater NAME temp T");
    if (args->action != "temp" && value->count() > 0)
      throw CLI::ValidationError("T", "a set-point goes with temp, or with --temp");
    std::string why;
    const Heaters heaters = surface::heatersNamed(args->names, why);
    if (heaters.empty()) throw CLI::ValidationError("name", why);
    const double watchSeconds = args->watch.empty() ? 0 : parseDuration(args->watch);
    if (watchSeconds < 0)
      throw CLI::ValidationError("--watch", "takes a duration such as 20s, 90, 2m: " + args->watch);
    args->tempGiven = temp->count() > 0;
    run = withInstrument([args, heaters, watchSeconds](Session& session, ZylInterface& z) {
      return runHeater(session, z, *args, heaters, watchSeconds);
    });
  });
}

}  // namespace zyl::tool
