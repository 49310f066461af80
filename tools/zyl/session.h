// What every command of the zyl tool shares: the global options, the one instrument object of
// the invocation, and output in human or JSON form.
#pragma once

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "zyl/ZylInterface.h"

namespace zyl::tool {

// Exit codes of the tool.
enum Exit : int {
  kOk = 0,
  kUsage = 1,         // bad command line, or a file that cannot be written
  kNoInstrument = 2,  // nothing answered
  kRefused = 3,       // the instrument answered but refused or failed the operation
  kInterrupted = 130  // Ctrl-C ended a wait before its goal was reached
};
inline constexpr const char* kExitCodesHelp =
    "Exit codes: 0 success, 1 bad command line or unwritable file, 2 no instrument answered, 3 the "
    "instrument refused or failed the operation, 130 interrupted (Ctrl-C).";

struct GlobalOptions {
  std::optional<std::string> sim;  // firmware version of the simulated instrument ("" = default)
  double simTimeScale = 1.0;       // simulated seconds per real second of physical processes
  // File that keeps the simulated flash: "" for ZYL_SIM_STATE or else a file per firmware version
  // in the user's cache directory, "none" for memory only.
  std::string simState;
  std::string simModel;  // model name the simulated instrument gives ("" = the simulator's)
  std::string logDir;
  bool json = false;
  std::string device;  // "BUS:ADDR" of the instrument to use
  std::string serial;  // serial number of the instrument to use
};

// True when this invocation talks to a simulated instrument (--sim or ZYL_BACKEND=sim).
bool simulated(const GlobalOptions& options);

// One run of the tool. The instrument object is made on first use, so that a command can check
// its arguments and open its output files before anything touches the instrument.
//
// Output: in human form `print` writes "name: value" lines at once. With --json every `print`
// of a run adds its members to one document that `finish` writes, so a run writes exactly one
// JSON document, errors included; `printLine` is for watching commands, which write one compact
// document per line (JSON Lines).
class Session {
 public:
  explicit Session(const GlobalOptions& options);
  ~Session();
  ZylInterface& instrument();
  const GlobalOptions& options() const { return options_; }

  void print(const nlohmann::ordered_json& result);
  void printLine(const nlohmann::ordered_json& line);
  // Sends human output to standard error from now on (standard output carries data).
  void humanToStderr() { humanToStderr_ = true; }
  // One line on standard error (with --json: "error" and "exit" in the document), and the code.
  int fail(Exit code, const std::string& message);
  // Unless the instrument answers, says so (mentioning --sim) and returns kNoInstrument.
  std::optional<int> requireInstrument();
  // Turns a library status code into the tool's exit: 0 passes, anything else fails with a line
  // naming `what` and the code.
  int result(unsigned int status, const std::string& what);
  // Writes the JSON document of the run, if any; returns `code`.
  int finish(int code);

 private:
  GlobalOptions options_;
  std::unique_ptr<ZylInterface> instrument_;
  nlohmann::ordered_json document_;
  bool streamed_ = false;
  bool humanToStderr_ = false;
};

const char* stateName(CommunicationState state);

// An output file, opened (created or emptied) before the instrument is touched so that a file
// that cannot be written is found before any work is done; "-" is standard output. A file this
// run created is removed again by `discard` when the work fails.
class OutputFile {
 public:
  // Empty when it opened, else why not.
  std::string open(const std::string& name);
  bool wanted() const { return !name_.empty(); }
  const std::string& name() const { return name_; }
  std::ostream& stream();
  // Flushes and closes; false when something could not be written.
  bool close();
  void discard();

 private:
  std::string name_;
  std::ofstream file_;
  bool created_ = false;
};

// Adds a command with its description and an example to its --help.
CLI::App* addCommand(CLI::App& parent, const std::string& name, const std::string& description,
                     const std::string& example);

// Each command registers itself on the app; `run` is set to its action.
using Action = std::function<int(Session&)>;
void addListCommand(CLI::App& app, Action& run);
void addInfoCommand(CLI::App& app, Action& run);
void addStatusCommand(CLI::App& app, Action& run);
void addPumpAndGaugeCommands(CLI::App& app, Action& run);
void addIoCommand(CLI::App& app, Action& run);
void addSerialCommands(CLI::App& app, Action& run);
void addScanCommand(CLI::App& app, Action& run);
void addDemoCommand(CLI::App& app, Action& run);
// One scan written to a CSV file and an SVG plot, summarised, as zyl scan does it.
int scanToFiles(Session& session, int from, int to, unsigned int timeMs, const std::string& csv,
                const std::string& plot);
void addHeaterCommand(CLI::App& app, Action& run);
void addFirmwareCommand(CLI::App& app, Action& run);
void addConfigCommand(CLI::App& app, Action& run);
void addFlashCommand(CLI::App& app, Action& run);
void addTuneCommand(CLI::App& app, Action& run);

// Sleeps, unless Ctrl-C comes first (then false). The first Ctrl-C of a run only asks the
// watching command to stop, so that it can switch the instrument's stream off; a second one ends
// the program at once.
bool sleepUnlessInterrupted(std::chrono::milliseconds duration);
bool interrupted();
// Switches the V3 status stream on and waits for its first frame; false when none comes.
bool awaitStreamedStatus(ZylInterface& z);
// Makes the status record current for a reading about to be shown: older firmware is asked now
// (its getters would accept a reading up to three seconds old), V3 firmware streams it.
void refreshForDisplay(ZylInterface& z);

// "pressure P mbar, pump speed S" from readings fresh enough to show.
std::string vacuumLine(ZylInterface& z);

// The status record as the tool shows it.
nlohmann::ordered_json statusSnapshot(ZylInterface& z);
// Status code of the library as text ("2 (communication failure)").
std::string statusText(unsigned int status);

}  // namespace zyl::tool
