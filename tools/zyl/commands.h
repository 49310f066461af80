// The commands of the tool: each registers itself on the app and sets `run` to its action when
// it is the one given.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "surface/checks.h"
#include "tools/zyl/session.h"

namespace zyl::tool {

// Adds a command with its description and an example to its --help.
CLI::App* addCommand(CLI::App& parent, const std::string& name, const std::string& description,
                     const std::string& example);
// A validator with the shared check of `limit`, so the tool refuses what the module refuses in
// the same words.
CLI::Validator within(const surface::Limit& limit);

void addListCommand(CLI::App& app, Action& run);
void addInfoCommand(CLI::App& app, Action& run);
void addStatusCommand(CLI::App& app, Action& run);
void addPumpAndGaugeCommands(CLI::App& app, Action& run);
void addIoCommand(CLI::App& app, Action& run);
void addSerialCommands(CLI::App& app, Action& run);
void addScanCommand(CLI::App& app, Action& run);
void addDemoCommand(CLI::App& app, Action& run);
void addHeaterCommand(CLI::App& app, Action& run);
// Why the interlock refused to switch a gas heater on, after waiting for it or at once.
std::string interlockRefusal(const std::string& heater, bool waited);
void addFirmwareCommand(CLI::App& app, Action& run);
void addConfigCommand(CLI::App& app, Action& run);
void addFlashCommand(CLI::App& app, Action& run);
void addTuneCommand(CLI::App& app, Action& run);
void addServeCommand(CLI::App& app, Action& run);

// One scan written to a CSV file and an SVG plot, summarised, as zyl scan does it.
int scanToFiles(Session& session, int from, int to, unsigned int timeMs, const std::string& csv,
                const std::string& plot);

}  // namespace zyl::tool
