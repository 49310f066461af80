#include "tools/zyl/session.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>
#include <thread>

#include "tools/zyl/device.h"

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
  if (!options_.json || document_.is_null()) return code;
  // A watching command has written its lines; only an error is left to say, as one more line.
  if (streamed_) {
    if (document_.contains("error"))
      std::cout << nlohmann::ordered_json{{"error", document_["error"]}, {"exit", code}}.dump()
                << '\n';
  } else {
    std::cout << document_.dump(2) << '\n';
  }
  std::cout.flush();
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

std::string OutputFile::open(const std::string& name) {
  name_ = name;
  if (name == "-") return {};
  struct stat st {};
  created_ = stat(name.c_str(), &st) != 0;
  file_.open(name, std::ios::binary | std::ios::trunc);
  if (!file_) return "cannot write " + name + ": " + std::strerror(errno);
  return {};
}

std::ostream& OutputFile::stream() {
  return name_ == "-" ? std::cout : file_;
}

bool OutputFile::close() {
  stream().flush();
  if (name_ == "-") return static_cast<bool>(std::cout);
  file_.close();
  return !file_.fail();
}

void OutputFile::discard() {
  if (file_.is_open()) file_.close();
  if (created_ && name_ != "-") std::remove(name_.c_str());
}

CLI::App* addCommand(CLI::App& parent, const std::string& name, const std::string& description,
                     const std::string& example) {
  CLI::App* cmd = parent.add_subcommand(name, description);
  cmd->footer("Example:\n  " + example + "\n\n" + kExitCodesHelp);
  return cmd;
}

namespace {

std::atomic<bool> interruptRequested{false};

void onInterrupt(int) {
  if (interruptRequested.exchange(true)) _exit(130);
}

}  // namespace

bool interrupted() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = &onInterrupt;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGINT, &action, nullptr) == 0;
  }();
  (void)installed;
  return interruptRequested.load();
}

bool sleepUnlessInterrupted(std::chrono::milliseconds duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (!interrupted()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(50)));
  }
  return false;
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

int Session::result(unsigned int status, const std::string& what) {
  if (status == ZYL_SUCCESS) return kOk;
  return fail(status == ZYL_INVALID_ARGUMENT ? kUsage : kRefused,
              what + " failed: " + statusText(status));
}

}  // namespace zyl::tool
