// The process-wide back end and the routing of back-end diagnostics.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "link/usb/libusb_backend.h"
#include "zyl/UsbBackend.h"
#if ZYL_SIM_BACKEND
#include "link/usb/sim_default.h"
#endif

namespace zyl::usb {
namespace {

std::mutex backendLock;
std::shared_ptr<UsbBackend> installed;  // set by useBackend
std::shared_ptr<UsbBackend> fallback;   // the default, made on first use

#if !ZYL_SIM_BACKEND
// Asked for the simulator in a build without it: finding no instrument is safer than quietly
// driving whatever hardware is plugged in.
class NoInstruments final : public UsbBackend {
 public:
  const char* name() const override { return "none (built without the simulator)"; }
  int deviceCount() override { return 0; }
  std::unique_ptr<UsbHandle> open(int) override { return nullptr; }
};
#endif

// ZYL_BACKEND is read once: a program either talks to hardware or to the simulator throughout.
std::shared_ptr<UsbBackend> makeDefault() {
  const char* which = std::getenv("ZYL_BACKEND");
  if (which && std::strcmp(which, "sim") == 0) {
#if ZYL_SIM_BACKEND
    return makeSimulatorFromEnvironment();
#else
    return std::make_shared<NoInstruments>();
#endif
  }
  return makeLibusbBackend();
}

thread_local DiagnosticSink sink = nullptr;
thread_local void* sinkContext = nullptr;

}  // namespace

void useBackend(std::shared_ptr<UsbBackend> backend) {
  std::lock_guard lock(backendLock);
  installed = std::move(backend);
}

std::shared_ptr<UsbBackend> currentBackend() {
  std::lock_guard lock(backendLock);
  if (installed) return installed;
  if (!fallback) fallback = makeDefault();
  return fallback;
}

DiagnosticScope::DiagnosticScope(DiagnosticSink s, void* context)
    : previousSink_(sink), previousContext_(sinkContext) {
  sink = s;
  sinkContext = context;
}

DiagnosticScope::~DiagnosticScope() {
  sink = previousSink_;
  sinkContext = previousContext_;
}

const char* describe(TransferResult result) {
  switch (result) {
    case TransferResult::ok:
      return "ok";
    case TransferResult::timeout:
      return "time-out";
    case TransferResult::stall:
      return "stall";
    case TransferResult::noDevice:
      return "no device";
    case TransferResult::cancelled:
      return "cancelled";
    case TransferResult::other:
      break;
  }
  return "other error";
}

void diagnostic(const char* format, ...) {
  if (!sink) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  sink(sinkContext, text);
}

}  // namespace zyl::usb
