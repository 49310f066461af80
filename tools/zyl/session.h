// What every command of the zyl tool shares: the global options, the one instrument object of
// the invocation, and output in human or JSON form.
#pragma once

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

 private:
  GlobalOptions options_;
  std::unique_ptr<ZylInterface> instrument_;
};

const char* stateName(CommunicationState state);

// Each command registers itself on the app; `run` is set to its action.
using Action = std::function<int(Session&)>;
void addInfoCommand(CLI::App& app, Action& run);

}  // namespace zyl::tool
