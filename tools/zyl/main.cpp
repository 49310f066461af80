// zyl: the command-line tool over libzyl, for service engineers, scientists and CI.
#include <iostream>

#include "tools/zyl/session.h"
#include "zyl/version.h"

int main(int argc, char** argv) {
  using namespace zyl::tool;
  CLI::App app{"zyl - drive a zyl mass spectrometer over USB"};
  app.require_subcommand(1);
  app.set_version_flag(
      "--version", std::string("zyl ") + ZYL_VERSION + " (libzyl " + zyl::libraryVersion() + ")");
  app.footer(
      "Exit codes: 0 success, 1 bad command line, 2 no instrument answered, 3 the instrument "
      "refused or failed the operation.\nZYL_BACKEND=sim in the environment has the same effect "
      "as --sim.");
  GlobalOptions options;
  std::string simVersion;
  CLI::Option* sim = app.add_option("--sim", simVersion,
                                    "Use the simulated instrument, optionally with this firmware "
                                    "version text (default VERSION130904A-V3)")
                         ->expected(0, 1);
  app.add_option("--log", options.logDir, "Append the debug log to DIR/ZylDebug.out")
      ->type_name("DIR");
  app.add_flag("--json", options.json, "Print results as JSON");
  app.add_option("--sim-time-scale", options.simTimeScale,
                 "Simulated seconds of pump-down and heat-up per real second (default 1)")
      ->check(CLI::PositiveNumber);

  Action run;
  addInfoCommand(app, run);
  addStatusCommand(app, run);
  addPumpAndGaugeCommands(app, run);
  addIoCommand(app, run);
  addSerialCommands(app, run);
  addScanCommand(app, run);
  addHeaterCommand(app, run);
  addFirmwareCommand(app, run);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kOk : kUsage;
  }
  if (sim->count() > 0) options.sim = simVersion;
  try {
    Session session(options);
    return run(session);
  } catch (const std::exception& e) {
    std::cerr << "zyl: " << e.what() << '\n';
    return kRefused;
  }
}
