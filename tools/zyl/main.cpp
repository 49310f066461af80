// zyl: the command-line tool over libzyl, for service engineers, scientists and CI.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <iostream>

#include "surface/checks.h"
#include "tools/zyl/acquire.h"
#include "tools/zyl/commands.h"
#include "tools/zyl/device.h"
#include "tools/zyl/interrupt.h"
#include "tools/zyl/progress.h"
#include "zyl/sim/Instrument.h"
#include "zyl/version.h"

namespace {

using namespace zyl::tool;

std::string checkTimeScale(const std::string& text) {
  double v = std::nan("");
  try {
    size_t used = 0;
    v = std::stod(text, &used);
    if (used != text.size()) v = std::nan("");
  } catch (...) {
  }
  if (std::isfinite(v) && v >= 0.01 && v <= 1000) return {};
  return text + " is not a time scale from 0.01 to 1000 (simulated seconds per real second)";
}

// The instrument answers with up to 79 characters of text.
std::string checkModelName(const std::string& text) {
  const bool printable = std::all_of(text.begin(), text.end(), [](char c) {
    return std::isprint(static_cast<unsigned char>(c)) != 0;
  });
  if (!text.empty() && text.size() <= 79 && printable) return {};
  return "a model name is 1 to 79 printable characters";
}

std::string checkLogDir(const std::string& dir) {
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return dir + ": no such directory (the debug log goes to DIR/ZylDebug.out)";
  if (access(dir.c_str(), W_OK | X_OK) != 0) return dir + ": directory not writable";
  return {};
}

std::string checkDevice(const std::string& text) {
  if (parseBusAddress(text)) return {};
  return "\"" + text + "\" is not BUS:ADDR (decimal, as zyl list and lsusb show it, e.g. 001:004)";
}

// The global options: they go before the command. One row each, for the parser and for the
// hint that moves a global option given after the command.
struct GlobalOption {
  const char* name;
  bool takesValue;
  std::function<CLI::Option*(CLI::App&, GlobalOptions&, std::string& simVersion)> add;
};

CLI::Validator checked(std::string (*check)(const std::string&)) {
  return CLI::Validator(check, "");  // the type name alone goes into the help
}

const std::vector<GlobalOption>& globalOptions() {
  static const std::vector<GlobalOption> table = {
      {"--sim", false,
       [](CLI::App& app, GlobalOptions&, std::string& version) {
         return app
             .add_option("--sim", version,
                         "Use the simulated instrument, optionally with this firmware version "
                         "text (default VERSION130904A-V3; older generation e.g. "
                         "--sim=VERSION110812)")
             ->expected(0, 1)
             ->type_name("FIRMWARE")
             ->check(checked([](const std::string& text) {
               return text.empty() ? std::string() : zyl::surface::checkFirmwareVersion(text);
             }));
       }},
      {"--sim-time-scale", true,
       [](CLI::App& app, GlobalOptions& o, std::string&) {
         return app
             .add_option("--sim-time-scale", o.simTimeScale,
                         "Simulated seconds of pump-down, heat-up and scanning per real second, "
                         "0.01 to 1000 (default 1)")
             ->type_name("X")
             ->check(checked(checkTimeScale));
       }},
      {"--sim-state", true,
       [](CLI::App& app, GlobalOptions& o, std::string&) {
         return app
             .add_option("--sim-state", o.simState,
                         "Keep the simulated instrument (flash, pump, heaters, outputs, DACs) in "
                         "FILE between runs, \"none\" to keep it in memory only (implies --sim; "
                         "default $ZYL_SIM_STATE, else ~/.cache/zyl/sim-FIRMWARE.state)")
             ->type_name("FILE");
       }},
      {"--sim-model", true,
       [](CLI::App& app, GlobalOptions& o, std::string&) {
         return app
             .add_option("--sim-model", o.simModel,
                         "The model name the simulated instrument reports, e.g. \"zentra-S "
                         "Vexa\" (implies --sim; default \"zentra Vexa\")")
             ->type_name("NAME")
             ->check(checked(checkModelName));
       }},
      {"--log", true,
       [](CLI::App& app, GlobalOptions& o, std::string&) {
         return app.add_option("--log", o.logDir, "Append the debug log to DIR/ZylDebug.out")
             ->type_name("DIR")
             ->check(checked(checkLogDir));
       }},
      {"--json", false,
       [](CLI::App& app, GlobalOptions& o, std::string&) {
         return app.add_flag("--json", o.json,
                             "Print results as one JSON document (watching commands: one per "
                             "line), errors included");
       }},
      {"--device", true,
       [](CLI::App& app, GlobalOptions& o, std::string&) {
         return app
             .add_option("--device", o.device,
                         "Use the instrument at this USB bus and address (see zyl list)")
             ->type_name("BUS:ADDR")
             ->check(checked(checkDevice));
       }},
      {"--serial", true,
       [](CLI::App& app, GlobalOptions& o, std::string&) {
         return app
             .add_option("--serial", o.serial,
                         "Use the instrument with this serial number (see zyl list)")
             ->type_name("SERIAL");
       }},
  };
  return table;
}

std::string commandList(const CLI::App& app) {
  std::string names;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    names += (names.empty() ? "" : ", ") + sub->get_name();
  return names;
}

// Turns CLI11's complaint into one that says what to do.
std::string explain(const CLI::App& app, int argc, char** argv, const CLI::ParseError& e) {
  int command = 0;
  for (int i = 1; i < argc && !command; ++i)
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
      if (sub->get_name() == argv[i]) command = i;
  for (int i = command + 1; command && i < argc; ++i) {
    const std::string arg = argv[i];
    for (const GlobalOption& global : globalOptions())
      if (arg == global.name || arg.starts_with(std::string(global.name) + "="))
        return std::string(global.name) + " is a global option: put it before the command (zyl " +
               global.name + " ... " + argv[command] + " ...)";
  }
  if (!command) {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      const bool takesValue =
          std::any_of(globalOptions().begin(), globalOptions().end(),
                      [&](const GlobalOption& g) { return g.takesValue && arg == g.name; });
      if (takesValue) {
        ++i;
      } else if (!arg.starts_with("-") && !arg.starts_with("VERSION")) {
        return "unknown command \"" + arg + "\"; the commands are " + commandList(app);
      }
    }
    if (std::string(e.what()).find("subcommand") != std::string::npos)
      return "a command is required: " + commandList(app) + " (zyl --help explains them)";
  }
  return e.what();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zyl - drive a zyl mass spectrometer over USB"};
  app.require_subcommand(1);
  app.set_version_flag(
      "--version", std::string("zyl ") + ZYL_VERSION + " (libzyl " + zyl::libraryVersion() + ")",
      "Show the tool's and the library's version");
  app.footer(std::string("Global options go before the command; zyl COMMAND --help shows a "
                         "command's options and an example.\n") +
             kExitCodesHelp +
             "\nZYL_BACKEND=sim in the environment has the same effect as --sim.\n\nExample:\n"
             "  zyl --sim demo");
  GlobalOptions options;
  std::string simVersion;
  CLI::Option* sim = nullptr;
  for (const GlobalOption& global : globalOptions()) {
    CLI::Option* option = global.add(app, options, simVersion);
    if (std::string_view(global.name) == "--sim") sim = option;
  }

  Action run;
  addListCommand(app, run);
  addInfoCommand(app, run);
  addStatusCommand(app, run);
  addPumpAndGaugeCommands(app, run);
  addIoCommand(app, run);
  addSerialCommands(app, run);
  addScanCommand(app, run);
  addDemoCommand(app, run);
  addHeaterCommand(app, run);
  addFirmwareCommand(app, run);
  addConfigCommand(app, run);
  addFlashCommand(app, run);
  addTuneCommand(app, run);
  addAcquireCommands(app, run);
  addServeCommand(app, run);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    bool json = false;
    for (int i = 1; i < argc; ++i) json = json || std::strcmp(argv[i], "--json") == 0;
    const std::string message = explain(app, argc, argv, e);
    if (json)
      std::cout << nlohmann::ordered_json{{"error", message}, {"exit", 1}}.dump(2) << '\n';
    else
      std::cerr << "zyl: " << message << "\nRun zyl --help for the commands and options.\n";
    return kUsage;
  }
  if (sim->count() > 0 || !options.simState.empty() || !options.simModel.empty())
    options.sim = simVersion;
  if (options.json) hideProgress();
  catchInterrupts();
  Session session(options);
  int code = kOk;
  try {
    code = run(session);
  } catch (const zyl::sim::StateFileError& e) {
    code = session.fail(kUsage, e.what());
  } catch (const std::exception& e) {
    code = session.fail(kRefused, e.what());
  }
  // The simulated instrument runs on after this run only if its state is kept.
  if (const std::string why = saveSimulatorState(); !why.empty()) {
    if (code == kOk)
      code = session.fail(kUsage, why);
    else
      std::cerr << "zyl: " << why << '\n';
  }
  return session.finish(code);
}
