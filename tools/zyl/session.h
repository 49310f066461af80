// One run of the zyl tool: the global options, the one instrument object of the invocation, and
// output in human or JSON form.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "zyl/ZylInterface.h"

namespace zyl::tool {

// Exit codes of the tool.
enum Exit : int {
  kOk = 0,
  kUsage = 1,         // bad command line or input, or a file that cannot be written
  kNoInstrument = 2,  // nothing answered
  kRefused = 3,       // the instrument answered but refused or failed the operation
  kInterrupted = 130  // Ctrl-C ended the run before its goal was reached
};
inline constexpr const char* kExitCodesHelp =
    "Exit codes: 0 success, 1 bad command line, bad input or unwritable file, 2 no instrument "
    "answered, 3 the instrument refused or failed the operation, 130 interrupted (Ctrl-C).";

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

class OutputFile;

// The instrument object is made on first use, so that a command can check its arguments and
// open its output files before anything touches the instrument.
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
  // Before the instrument is made: where its debug log goes.
  void setLogDir(const std::string& dir) { options_.logDir = dir; }

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
  // Puts a finished output file in place; after Ctrl-C or a write error it fails instead and the
  // file keeps what it held.
  int commit(OutputFile& file);
  // Writes the JSON document of the run, if any; returns `code`, or 1 when standard output
  // could not be written.
  int finish(int code);

 private:
  GlobalOptions options_;
  std::unique_ptr<ZylInterface> instrument_;
  nlohmann::ordered_json document_;
  bool streamed_ = false;
  bool humanToStderr_ = false;
};

// A command's action, and the form most take: a body run once the instrument answers.
using Action = std::function<int(Session&)>;
using Body = std::function<int(Session&, ZylInterface&)>;
Action withInstrument(Body body);

const char* stateName(CommunicationState state);
// Status code of the library as text ("2 (communication failure)").
std::string statusText(unsigned int status);

}  // namespace zyl::tool
