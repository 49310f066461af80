// zyl heater NAME on|off|temp T [--temp T] [--watch DURATION]: switch an ion-source heater, give
// it a set-point, and follow its temperature in the same run.
#include <cmath>
#include <ctime>
#include <string>
#include <vector>

#include "tools/zyl/progress.h"
#include "tools/zyl/session.h"

namespace zyl::tool {
namespace {

struct HeaterOps {
  const char* name;
  unsigned int (ZylInterface::*setOn)(unsigned char);
  unsigned char (ZylInterface::*getOn)();
  unsigned int (ZylInterface::*setTemp)(float);
  float (ZylInterface::*getTemp)();
  float ZylInterface::*setpoint;
};

constexpr HeaterOps kHeaters[] = {
    {"capillary", &ZylInterface::SetCapillaryHeaterOn, &ZylInterface::GetCapillaryHeaterOn,
     &ZylInterface::SetCapillaryHeaterTemp, &ZylInterface::GetCapillaryHeaterTemp,
     &ZylInterface::capillaryHeaterSetpoint},
    {"desolvation", &ZylInterface::SetDesolvationHeaterOn, &ZylInterface::GetDesolvationHeaterOn,
     &ZylInterface::SetDesolvationHeaterTemp, &ZylInterface::GetDesolvationHeaterTemp,
     &ZylInterface::desolvationHeaterSetpoint},
    {"apci", &ZylInterface::SetAPCIHeaterOn, &ZylInterface::GetAPCIHeaterOn,
     &ZylInterface::SetAPCIHeaterTemp, &ZylInterface::GetAPCIHeaterTemp,
     &ZylInterface::apciHeaterSetpoint},
};

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

// Why the interlock said no, in the terms an operator can act on.
std::string interlockRefusal(ZylInterface& z, const HeaterOps& heater) {
  const float capillary = z.GetCapillaryHeaterTemp();
  const float needed = 0.9f * z.capillaryHeaterSetpoint;
  const long heating = static_cast<long>(std::time(nullptr) - z.capillaryHeatStartTime);
  char text[320];
  std::snprintf(text, sizeof text,
                "the %s heater may not switch on while the capillary heater is heating up: the "
                "capillary is at %s of %s (%s needed) and has heated for %ld s of the 44 s "
                "allowed; wait, or switch the capillary heater off first",
                heater.name, degrees(capillary).c_str(), degrees(z.capillaryHeaterSetpoint).c_str(),
                degrees(needed).c_str(), heating);
  return text;
}

struct Args {
  std::string names;
  std::string action;
  float value = 0;
  float temp = 0;
  std::string watch;
};

// "capillary,desolvation": the heaters in the order given; empty when a name is unknown.
std::vector<const HeaterOps*> heatersNamed(const std::string& names) {
  std::vector<const HeaterOps*> out;
  size_t begin = 0;
  for (;;) {
    const size_t comma = names.find(',', begin);
    const std::string name = names.substr(begin, comma - begin);
    const HeaterOps* found = nullptr;
    for (const HeaterOps& h : kHeaters)
      if (name == h.name) found = &h;
    if (!found) return {};
    out.push_back(found);
    if (comma == std::string::npos) return out;
    begin = comma + 1;
  }
}

std::string readings(ZylInterface& z, const std::vector<const HeaterOps*>& heaters) {
  std::string line;
  for (const HeaterOps* h : heaters) {
    if (!line.empty()) line += ", ";
    line += std::string(h->name) + " " + degrees((z.*h->getTemp)()) + " (set-point " +
            degrees(z.*h->setpoint) + ")";
  }
  return line;
}

int runHeater(Session& session, const Args& args, bool tempGiven) {
  const std::vector<const HeaterOps*> heaters = heatersNamed(args.names);
  if (heaters.empty())
    return session.fail(kUsage, "heaters are capillary, desolvation and apci: " + args.names);
  const double watchSeconds = args.watch.empty() ? 0 : parseDuration(args.watch);
  if (watchSeconds < 0)
    return session.fail(kUsage, "--watch takes a duration such as 20s, 90, 2m: " + args.watch);
  if (auto failed = session.requireInstrument()) return *failed;
  ZylInterface& z = session.instrument();

  for (const HeaterOps* heater : heaters) {
    if (args.action == "temp" || tempGiven) {
      const float setpoint = args.action == "temp" ? args.value : args.temp;
      const unsigned int status = (z.*heater->setTemp)(setpoint);
      if (status != ZYL_SUCCESS)
        return session.result(status, std::string(heater->name) + " set-point");
    }
    if (args.action == "temp") continue;
    const unsigned int status = (z.*heater->setOn)(args.action == "on" ? 1 : 0);
    if (status == ZYL_HEATER_INTERLOCK) return session.fail(kRefused, interlockRefusal(z, *heater));
    if (status != ZYL_SUCCESS)
      return session.result(status, std::string(heater->name) + " heater " + args.action);
  }

  // On V3 firmware the readbacks come with the status stream; elsewhere each read asks.
  const bool streamed = z.IsV3() && awaitStreamedStatus(z);
  nlohmann::ordered_json samples = nlohmann::json::array();
  if (watchSeconds > 0) {
    Spinner spinner("heating");
    const bool lines = !session.options().json && !spinner.live();
    double nextSample = 0;
    while (spinner.elapsedSeconds() < watchSeconds) {
      const double t = spinner.elapsedSeconds();
      const std::string now = readings(z, heaters);
      if (t >= nextSample) {
        nlohmann::ordered_json sample{{"t_s", std::round(t * 10) / 10}};
        for (const HeaterOps* h : heaters) sample[std::string(h->name) + "_c"] = (z.*h->getTemp)();
        samples.push_back(sample);
        if (lines) std::printf("%5.1f s  %s\n", t, now.c_str());
        std::fflush(stdout);
        nextSample += 1.0;
      }
      spinner.update(now);
      if (!sleepUnlessInterrupted(std::chrono::milliseconds(200))) break;
    }
    spinner.finish();
  }
  nlohmann::ordered_json out;
  for (const HeaterOps* h : heaters) {
    const std::string name = h->name;
    out[name + "_on"] = (z.*h->getOn)() != 0;
    out[name + "_setpoint_c"] = z.*h->setpoint;
    out[name + "_c"] = (z.*h->getTemp)();
  }
  if (streamed) z.EnableStatusReporting(false);
  if (session.options().json && watchSeconds > 0) out["samples"] = samples;
  session.print(out);
  return kOk;
}

}  // namespace

void addHeaterCommand(CLI::App& app, Action& run) {
  CLI::App* cmd = addCommand(app, "heater", "Switch an ion-source heater or give its set-point",
                             "zyl --sim heater capillary on --temp 200 --watch 20s");
  auto args = std::make_shared<Args>();
  cmd->add_option("name", args->names,
                  "capillary, desolvation or apci; several separated by commas are switched in "
                  "that order (the gas heaters wait for the capillary's heat-up)")
      ->required();
  cmd->add_option("action", args->action, "on, off, or temp followed by the set-point in °C")
      ->required()
      ->check(CLI::IsMember({"on", "off", "temp"}));
  CLI::Option* value = cmd->add_option("T", args->value, "set-point in °C (with temp)");
  CLI::Option* temp =
      cmd->add_option("--temp", args->temp, "Give this set-point (°C) before switching");
  cmd->add_option("--watch", args->watch,
                  "Follow the temperature for this long afterwards (20s, 90, 2m)")
      ->type_name("DURATION");
  cmd->callback([&run, args, value, temp] {
    if (args->action == "temp" && value->count() == 0)
      throw CLI::ValidationError("temp", "needs the set-point: heater NAME temp T");
    if (args->action != "temp" && value->count() > 0)
      throw CLI::ValidationError("T", "a set-point goes with temp, or with --temp");
    const bool tempGiven = temp->count() > 0;
    run = [args, tempGiven](Session& session) { return runHeater(session, *args, tempGiven); };
  });
}

}  // namespace zyl::tool
