#include "tools/zyl/session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string_view>

#include <CLI/CLI.hpp>

#include "tools/zyl/commands.h"
#include "tools/zyl/device.h"
#include "tools/zyl/interrupt.h"
#include "tools/zyl/output.h"

namespace zyl::tool {

bool simulated(const GlobalOptions& options) {
  const char* backend = std::getenv("ZYL_BACKEND");
  return options.sim.has_value() || (backend && std::string_view(backend) == "sim");
}

const char* stateName(CommunicationState state) {
  switch (state) {
    case CommNotConnected:
      return "CommNotConnected";
    case CommNoResponse:
      return "CommNoResponse";
    case CommConnected:
      return "CommConnected";
    case CommInitialized:
      return "CommInitialized";
  }
  return "unknown";
}

Session::Session(const GlobalOptions& options) : options_(options) {}

Session::~Session() = default;

ZylInterface& Session::instrument() {
  if (!instrument_) {
    installBackend(options_);
    instrument_ =
        std::make_unique<ZylInterface>(options_.logDir.empty() ? nullptr : options_.logDir.c_str());
  }
  return *instrument_;
}

namespace {

// A reading for a person: six significant digits (a controller's 72.17816925048828 °C reads
// 72.1782), and an integral value keeps its ".0" so that it still reads as a measurement.
std::string humanNumber(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  std::string out = text;
  if (std::isfinite(v) && out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

}  // namespace

void Session::print(const nlohmann::ordered_json& result) {
  if (options_.json) {
    document_.update(result);
    return;
  }
  std::ostream& out = humanToStderr_ ? std::cerr : std::cout;
  size_t width = 0;
  for (auto& [key, value] : result.items()) width = std::max(width, key.size());
  for (auto& [key, value] : result.items()) {
    std::string text;
    if (value.is_string())
      text = value.get<std::string>();
    else if (value.is_boolean())
      text = value.get<bool>() ? "yes" : "no";
    else if (value.is_array() && !value.empty() &&
             std::all_of(value.begin(), value.end(), [](auto& v) { return v.is_string(); }))
      for (auto& v : value) text += (text.empty() ? "" : ", ") + v.get<std::string>();
    else if (value.is_number_float())
      text = humanNumber(value.get<double>());
    else
      text = value.dump();
    out << key << ':' << std::string(width - key.size() + 2, ' ') << text << '\n';
  }
  out.flush();
}

void Session::printLine(const nlohmann::ordered_json& line) {
  if (!options_.json) return print(line);
  std::cout << line.dump() << std::endl;
  streamed_ = true;
}

int Session::fail(Exit code, const std::string& message) {
  if (options_.json) {
    document_["error"] = message;
    document_["exit"] = static_cast<int>(code);
  } else {
    std::cerr << "zyl: " << message << '\n';
  }
  return code;
}

int Session::finish(int code) {
  if (code == kOk && interrupted()) code = fail(kInterrupted, "interrupted (Ctrl-C)");
  if (options_.json && !document_.is_null()) {
    // A watching command has written its lines; only an error is left to say, as one more line.
    if (!streamed_)
      std::cout << document_.dump(2) << '\n';
    else if (document_.contains("error"))
      std::cout << nlohmann::ordered_json{{"error", document_["error"]}, {"exit", code}}.dump()
                << '\n';
  }
  std::cout.flush();
  if (std::fflush(stdout) != 0 || std::ferror(stdout) || !std::cout) {
    std::cerr << "zyl: cannot write standard output\n";
    return code == kOk ? kUsage : code;
  }
  return code;
}

std::optional<int> Session::requireInstrument() {
  const CommunicationState state = instrument().GetCommunicationState();
  if (state == CommConnected || state == CommInitialized) return std::nullopt;
  if (!options_.serial.empty() || !options_.device.empty())
    return fail(kNoInstrument,
                "no instrument " +
                    (options_.serial.empty() ? "at " + options_.device
                                             : "with serial number " + options_.serial) +
                    " answered (zyl list shows the attached ones)");
  return fail(kNoInstrument, std::string("no instrument answered (") + stateName(state) +
                                 "); connect one, or run with --sim to use the simulated "
                                 "instrument");
}

int Session::commit(OutputFile& file) {
  if (interrupted()) {
    file.discard();
    return fail(kInterrupted, "interrupted (Ctrl-C); " + file.name() + " left as it was");
  }
  if (!file.close()) return fail(kUsage, "cannot write " + file.name());
  return kOk;
}

int Session::result(unsigned int status, const std::string& what) {
  if (status == ZYL_SUCCESS) return kOk;
  return fail(status == ZYL_INVALID_ARGUMENT ? kUsage : kRefused,
              what + " failed: " + statusText(status));
}

Action withInstrument(Body body) {
  return [body = std::move(body)](Session& session) -> int {
    if (auto failed = session.requireInstrument()) return *failed;
    return body(session, session.instrument());
  };
}

std::string statusText(unsigned int status) {
  const char* meaning = "error";
  switch (status) {
    case ZYL_SUCCESS:
      meaning = "success";
      break;
    case ZYL_NO_DEVICE:
      meaning = "no instrument could be opened";
      break;
    case ZYL_COMM_FAILURE:
      meaning = "communication failure";
      break;
    case ZYL_NOT_ACKNOWLEDGED:
      meaning = "not acknowledged";
      break;
    case ZYL_INVALID_ARGUMENT:
      meaning = "invalid argument";
      break;
    case ZYL_HEATER_INTERLOCK:
      meaning = "refused by the heater interlock";
      break;
    case ZYL_START_NOT_BELOW_END:
      meaning = "start not below end";
      break;
  }
  return std::to_string(status) + " (" + meaning + ")";
}

CLI::App* addCommand(CLI::App& parent, const std::string& name, const std::string& description,
                     const std::string& example) {
  CLI::App* cmd = parent.add_subcommand(name, description);
  cmd->footer("Example:\n  " + example + "\n\n" + kExitCodesHelp);
  return cmd;
}

CLI::Validator within(const surface::Limit& limit) {
  // No description: the option's type name alone goes into the help.
  return CLI::Validator([&limit](std::string& text) { return surface::checkText(limit, text); },
                        "");
}

}  // namespace zyl::tool
