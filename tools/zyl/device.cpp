// zyl list, and the choice of the instrument a run talks to.
#include "tools/zyl/device.h"

#include "tools/zyl/commands.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "zyl/UsbBackend.h"
#include "zyl/sim/SimBackend.h"

namespace zyl::tool {
namespace {

bool matches(const usb::DeviceDescriptor& d, const GlobalOptions& o) {
  if (!o.serial.empty() && d.serialNumber != o.serial) return false;
  if (!o.device.empty()) {
    const auto where = parseBusAddress(o.device);
    if (!where || where->first != d.busNumber || where->second != d.deviceAddress) return false;
  }
  return true;
}

// Shows the library only the chosen instrument of the back end underneath, looked up afresh on
// every call, as the instruments present may change.
class ChosenInstrument final : public usb::UsbBackend {
 public:
  ChosenInstrument(std::shared_ptr<usb::UsbBackend> all, GlobalOptions options)
      : all_(std::move(all)), options_(std::move(options)) {}
  int deviceCount() override { return chosen() >= 0 ? 1 : 0; }
  std::unique_ptr<usb::UsbHandle> open(int index) override {
    const int i = chosen();
    return index == 0 && i >= 0 ? all_->open(i) : nullptr;
  }
  std::optional<usb::DeviceDescriptor> describe(int index) override {
    const int i = chosen();
    return index == 0 && i >= 0 ? all_->describe(i) : std::nullopt;
  }
  const char* name() const override { return all_->name(); }

 private:
  int chosen() {
    const int n = all_->deviceCount();
    for (int i = 0; i < n; ++i)
      if (auto d = all_->describe(i); d && matches(*d, options_)) return i;
    return -1;
  }
  std::shared_ptr<usb::UsbBackend> all_;
  GlobalOptions options_;
};

std::weak_ptr<sim::Instrument> simulatedInstrument;  // of this run, once made

// SIGUSR1 pulls the simulated instrument's cable, the next one plugs it in again, so that what a
// program does when the instrument goes away and comes back can be tried by hand (zyl serve's
// page, a watch, a run). The handler only writes to a pipe; a thread does the (locking) work.
int cablePipe[2] = {-1, -1};

void onCableSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(cablePipe[1], &byte, 1);
  errno = saved;
}

void pullCableOnSignal() {
  if (cablePipe[0] >= 0 || pipe2(cablePipe, O_CLOEXEC) != 0) return;
  std::thread([] {
    char byte;
    for (;;) {
      if (const ssize_t n = read(cablePipe[0], &byte, 1); n != 1) {
        if (n < 0 && errno == EINTR) continue;
        return;
      }
      const std::shared_ptr<sim::Instrument> instrument = simulatedInstrument.lock();
      if (!instrument) continue;
      const bool plugged = instrument->plugged();
      plugged ? instrument->unplug() : instrument->replug();
      std::fprintf(stderr, "zyl: simulated instrument %s\n", plugged ? "unplugged" : "plugged in");
    }
  }).detach();
  struct sigaction action {};
  action.sa_handler = onCableSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR1, &action, nullptr);
}

std::string hex4(uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", v);
  return text;
}

}  // namespace

std::optional<std::pair<int, int>> parseBusAddress(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  int bus = -1, address = -1;
  const char* begin = text.data();
  const char* end = begin + text.size();
  auto [busEnd, e1] = std::from_chars(begin, begin + colon, bus);
  auto [addressEnd, e2] = std::from_chars(begin + colon + 1, end, address);
  if (e1 != std::errc() || e2 != std::errc() || busEnd != begin + colon || addressEnd != end ||
      bus < 0 || bus > 255 || address < 0 || address > 255)
    return std::nullopt;
  return std::pair{bus, address};
}

// The simulated instrument keeps running between runs, as a real one does (its flash, pump,
// heaters, outputs and DACs): in the file given, else in $ZYL_SIM_STATE, else in a file per
// firmware version (the generations lay their flash out differently) under $XDG_CACHE_HOME/zyl or
// ~/.cache/zyl. Without a usable cache directory it lives in memory for the run.
std::string simStateFile(const std::string& option, const std::string& firmware) {
  if (option == "none") return {};
  if (!option.empty()) return option;
  if (const char* state = std::getenv("ZYL_SIM_STATE"); state && *state) return state;
  std::filesystem::path dir;
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache)
    dir = cache;
  else if (const char* home = std::getenv("HOME"); home && *home)
    dir = std::filesystem::path(home) / ".cache";
  else
    return {};
  std::error_code error;
  std::filesystem::create_directories(dir / "zyl", error);
  if (error) return {};
  return (dir / "zyl" / ("sim-" + firmware + ".state")).string();
}

void installBackend(const GlobalOptions& options) {
  std::shared_ptr<usb::UsbBackend> backend;
  if (simulated(options)) {  // --sim, or ZYL_BACKEND=sim: the same simulated instrument
    sim::InstrumentOptions simOptions;
    const char* firmware = std::getenv("ZYL_SIM_FIRMWARE");
    if (options.sim && !options.sim->empty())
      simOptions.firmwareVersion = *options.sim;
    else if (firmware && *firmware)
      simOptions.firmwareVersion = firmware;
    simOptions.timeScale = options.simTimeScale;
    simOptions.stateFile = simStateFile(options.simState, simOptions.firmwareVersion);
    if (!options.simModel.empty()) simOptions.model = options.simModel;
    auto instrument = std::make_shared<sim::Instrument>(simOptions);  // may refuse its state file
    simulatedInstrument = instrument;
    pullCableOnSignal();
    backend = std::make_shared<sim::SimBackend>(std::move(instrument));
  } else {
    backend = usb::currentBackend();
  }
  if (!options.device.empty() || !options.serial.empty())
    backend = std::make_shared<ChosenInstrument>(std::move(backend), options);
  usb::useBackend(std::move(backend));
}

std::string saveSimulatorState() {
  const std::shared_ptr<sim::Instrument> instrument = simulatedInstrument.lock();
  return instrument ? instrument->saveState() : std::string();
}

void addListCommand(CLI::App& app, Action& run) {
  CLI::App* list = addCommand(app, "list",
                              "List the attached instruments: bus and address, USB IDs, serial "
                              "number, back end (they are not taken from a program using them)",
                              "zyl list      (then: zyl --serial SIM0001 info)");
  list->callback([&run] {
    run = [](Session& session) -> int {
      installBackend(session.options());
      const std::shared_ptr<usb::UsbBackend> backend = usb::currentBackend();
      nlohmann::ordered_json found = nlohmann::json::array();
      const int n = backend->deviceCount();
      for (int i = 0; i < n; ++i) {
        const auto d = backend->describe(i);
        if (!d) continue;
        char where[16];
        std::snprintf(where, sizeof where, "%03u:%03u", d->busNumber, d->deviceAddress);
        found.push_back({{"device", where},
                         {"bus", d->busNumber},
                         {"address", d->deviceAddress},
                         {"vendor_id", hex4(d->vendorId)},
                         {"product_id", hex4(d->productId)},
                         {"serial_number", d->serialNumber},
                         {"product", d->product},
                         {"backend", backend->name()}});
      }
      if (session.options().json) {
        session.print({{"backend", backend->name()}, {"instruments", found}});
        return kOk;
      }
      if (found.empty()) {
        std::cout << "no instrument attached (back end " << backend->name() << ")\n";
        return kOk;
      }
      std::printf("%-9s %-9s %-16s %-8s %s\n", "DEVICE", "ID", "SERIAL", "BACKEND", "PRODUCT");
      for (const auto& f : found) {
        const std::string serial = f["serial_number"].get<std::string>();
        std::printf("%-9s %s:%s %-16s %-8s %s\n", f["device"].get<std::string>().c_str(),
                    f["vendor_id"].get<std::string>().c_str(),
                    f["product_id"].get<std::string>().c_str(),
                    serial.empty() ? "(no access)" : serial.c_str(), backend->name(),
                    f["product"].get<std::string>().c_str());
      }
      return kOk;
    };
  });
}

}  // namespace zyl::tool
