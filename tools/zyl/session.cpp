#include "tools/zyl/session.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string_view>
#include <thread>

#include "zyl/sim/SimBackend.h"

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

Session::Session(const GlobalOptions& options) : options_(options) {
  if (options_.sim) {
    sim::InstrumentOptions simOptions;
    if (!options_.sim->empty()) simOptions.firmwareVersion = *options_.sim;
    simOptions.timeScale = options_.simTimeScale;
    usb::useBackend(
        std::make_shared<sim::SimBackend>(std::make_shared<sim::Instrument>(simOptions)));
  }
  instrument_ =
      std::make_unique<ZylInterface>(options_.logDir.empty() ? nullptr : options_.logDir.c_str());
}

void Session::print(const nlohmann::ordered_json& result) const {
  if (options_.json) {
    std::cout << result.dump(2) << '\n';
    return;
  }
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
    std::cout << key << ':' << std::string(width - key.size() + 2, ' ') << text << '\n';
  }
}

int Session::fail(Exit code, const std::string& message) const {
  if (options_.json)
    std::cout << nlohmann::json{{"error", message}, {"exit", static_cast<int>(code)}}.dump(2)
              << '\n';
  else
    std::cerr << "zyl: " << message << '\n';
  return code;
}

std::optional<int> Session::requireInstrument() {
  const CommunicationState state = instrument_->GetCommunicationState();
  if (state == CommConnected || state == CommInitialized) return std::nullopt;
  return fail(kNoInstrument, std::string("no instrument answered (") + stateName(state) +
                                 "); connect one, or run with --sim to use the simulated "
                                 "instrument");
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

int Session::result(unsigned int status, const std::string& what) const {
  if (status == ZYL_SUCCESS) return kOk;
  return fail(status == ZYL_INVALID_ARGUMENT ? kUsage : kRefused,
              what + " failed: " + statusText(status));
}

Spinner::Spinner(const Session& session, std::string label)
    : live_(!session.options().json && isatty(STDERR_FILENO)),
      label_(std::move(label)),
      start_(std::chrono::steady_clock::now()) {}

double Spinner::elapsedSeconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Spinner::update(const std::string& text) {
  if (!live_) return;
  static const char* const frames[] = {"|", "/", "-", "\\"};
  std::fprintf(stderr, "\r\033[K%s %s %.1f s  %s", frames[frame_++ % 4], label_.c_str(),
               elapsedSeconds(), text.c_str());
  std::fflush(stderr);
}

void Spinner::finish(const std::string& text) {
  if (live_) std::fprintf(stderr, "\r\033[K");
  if (!text.empty())
    std::fprintf(stderr, "%s after %.1f s: %s\n", label_.c_str(), elapsedSeconds(), text.c_str());
}

}  // namespace zyl::tool
