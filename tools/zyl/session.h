// What every command of the zyl tool shares: the global options, the one instrument object of
// the invocation, and output in human or JSON form.
#pragma once

#include <chrono>
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
  kUsage = 1,         // bad command line
  kNoInstrument = 2,  // nothing answered
  kRefused = 3,       // the instrument answered but refused or failed the operation
};

// True when this invocation talks to a simulated instrument (--sim or ZYL_BACKEND=sim).
bool simulated(const struct GlobalOptions& options);

struct GlobalOptions {
  std::optional<std::string> sim;  // firmware version of the simulated instrument ("" = default)
  double simTimeScale = 1.0;       // simulated seconds per real second of physical processes
  std::string logDir;
  bool json = false;
};

class Session {
 public:
  explicit Session(const GlobalOptions& options);
  ZylInterface& instrument() { return *instrument_; }
  const GlobalOptions& options() const { return options_; }

  // Prints `result` as JSON, or each of its top-level members as an aligned "name: value" line.
  void print(const nlohmann::ordered_json& result) const;
  // One line on standard error (or a JSON error object on standard output), and the exit code.
  int fail(Exit code, const std::string& message) const;
  // Unless the instrument answers, says so (mentioning --sim) and returns kNoInstrument.
  std::optional<int> requireInstrument();
  // Turns a library status code into the tool's exit: 0 passes, anything else fails with a line
  // naming `what` and the code.
  int result(unsigned int status, const std::string& what) const;

 private:
  GlobalOptions options_;
  std::unique_ptr<ZylInterface> instrument_;
};

const char* stateName(CommunicationState state);

// Each command registers itself on the app; `run` is set to its action.
using Action = std::function<int(Session&)>;
void addInfoCommand(CLI::App& app, Action& run);
void addStatusCommand(CLI::App& app, Action& run);
void addPumpAndGaugeCommands(CLI::App& app, Action& run);
void addIoCommand(CLI::App& app, Action& run);
void addSerialCommands(CLI::App& app, Action& run);
void addScanCommand(CLI::App& app, Action& run);
void addHeaterCommand(CLI::App& app, Action& run);
void addFirmwareCommand(CLI::App& app, Action& run);

// Shows that long work is going on: a spinner with the elapsed time and a short text on a
// terminal; elsewhere (a log, a pipe, --json) nothing until `finish`, which prints the last text.
class Spinner {
 public:
  Spinner(const Session& session, std::string label);
  void update(const std::string& text);
  void finish(const std::string& text);
  double elapsedSeconds() const;
  bool live() const { return live_; }  // drawn on a terminal

 private:
  bool live_;
  std::string label_;
  std::chrono::steady_clock::time_point start_;
  int frame_ = 0;
};

// Sleeps, unless Ctrl-C comes first (then false). The first Ctrl-C of a run only asks the
// watching command to stop, so that it can switch the instrument's stream off; a second one ends
// the program at once.
bool sleepUnlessInterrupted(std::chrono::milliseconds duration);
bool interrupted();
// Switches the V3 status stream on and waits for its first frame; false when none comes.
bool awaitStreamedStatus(ZylInterface& z);

// The status record as the tool shows it, refreshed as the firmware generation requires.
nlohmann::ordered_json statusSnapshot(ZylInterface& z);
// Status code of the library as text ("2 (communication failure)").
std::string statusText(unsigned int status);

}  // namespace zyl::tool
