#include "python/instrument.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <thread>
#include <type_traits>

#include "surface/readings.h"
#include "zyl/platform.h"
#include "zyl/sim/Scan.h"
#include "zyl/sim/SimBackend.h"

namespace zyl::python {
namespace {

// The largest scan reply the library accepts, and so the largest V3 message we read.
constexpr size_t kMaxScanReply = ZYL_SCAN_REPLY_BYTES;
// Status frames seen by the module's status callback, for a status() that waits for one.
std::atomic<unsigned> framesSeen{0};

// Borrowed: the module holds the classes for as long as anything can raise them.
py::handle errorClass, noInstrumentClass, notAcknowledgedClass, invalidArgumentClass,
    interlockClass;

// Live instruments; touched only with the GIL held, so the status thread sees a settled list.
std::vector<Instrument*> live;
std::atomic<bool> exiting{false};
thread_local bool inStatusCallback = false;
// The progress callable of the firmware update running on this thread.
thread_local py::handle progressTarget;

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

const char* meaning(unsigned int status) {
  switch (status) {
    case ZYL_NO_DEVICE:
      return "no instrument could be opened, or refused";
    case ZYL_COMM_FAILURE:
      return "no instrument: not connected or communication failed";
    case ZYL_NOT_ACKNOWLEDGED:
      return "not acknowledged";
    case ZYL_INVALID_ARGUMENT:
      return "invalid argument";
    case ZYL_HEATER_INTERLOCK:
      return "refused by the heater interlock";
    case ZYL_START_NOT_BELOW_END:
      return "start not below end";
  }
  return "error";
}

py::handle classOf(unsigned int status) {
  switch (status) {
    case ZYL_COMM_FAILURE:
      return noInstrumentClass;
    case ZYL_NOT_ACKNOWLEDGED:
      return notAcknowledgedClass;
    case ZYL_INVALID_ARGUMENT:
    case ZYL_START_NOT_BELOW_END:
      return invalidArgumentClass;
    case ZYL_HEATER_INTERLOCK:
      return interlockClass;
  }
  return errorClass;
}

}  // namespace

void addExceptions(py::module_& module) {
  auto make = [&](const char* name, py::handle base, const char* doc) -> py::handle {
    auto cls = py::reinterpret_steal<py::object>(
        PyErr_NewExceptionWithDoc((std::string("zyl.") + name).c_str(), doc, base.ptr(), nullptr));
    if (!cls) throw py::error_already_set();
    module.add_object(name, cls);
    return cls;
  };
  errorClass = make("Error", PyExc_Exception,
                    "An operation of the instrument failed; `code` is the library's status code.");
  noInstrumentClass = make("NoInstrumentError", errorClass,
                           "Status 2: no instrument connected, or the communication failed.");
  notAcknowledgedClass =
      make("NotAcknowledgedError", errorClass, "Status 3: the instrument did not answer \"ACK\".");
  invalidArgumentClass = make("InvalidArgumentError", errorClass,
                              "Status 4 (refused before anything was sent) or 128 (scan start "
                              "not below its end).");
  interlockClass =
      make("InterlockError", errorClass, "Status 33: refused by the heater interlock.");
}

void raiseError(py::handle cls, const std::string& message, py::object code) {
  py::object error = cls(message);
  error.attr("code") = std::move(code);
  PyErr_SetObject(cls.ptr(), error.ptr());
  throw py::error_already_set();
}

void refuseIf(const std::string& why) {
  if (!why.empty()) raiseError(invalidArgumentClass, why, py::int_(ZYL_INVALID_ARGUMENT));
}

void raiseStatus(unsigned int status, const std::string& what) {
  raiseError(classOf(status),
             what + " failed: status " + std::to_string(status) + " (" + meaning(status) + ")",
             py::int_(status));
}

// The library's status callback: one call per status frame, on the status thread.
void onStatusFrame() {
  framesSeen.fetch_add(1);
  if (exiting || finalizing()) return;
  py::gil_scoped_acquire gil;
  if (exiting) return;
  inStatusCallback = true;
  // A callback may close instruments: walk a copy and skip the ones gone meanwhile.
  for (Instrument* instrument : std::vector<Instrument*>(live)) {
    if (std::find(live.begin(), live.end(), instrument) == live.end()) continue;
    if (!instrument->watcher_ || instrument->watcher_.is_none() || !instrument->z_) continue;
    try {
      instrument->watcher_(instrument->record());
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("zyl status callback");
    }
  }
  inStatusCallback = false;
}

namespace {

// The library's progress callback, called on the updating thread; a Python exception stays set
// (and the callable is not called again) until the update returns and raises it.
void onProgress(int bytes) {
  if (!progressTarget) return;
  py::gil_scoped_acquire gil;
  if (PyErr_Occurred()) return;
  try {
    progressTarget(bytes);
  } catch (py::error_already_set& e) {
    e.restore();
  }
}

}  // namespace

void shutDown() {
  exiting = true;
  for (Instrument* instrument : std::vector<Instrument*>(live)) instrument->stopStream();
}

Instrument::Instrument(bool sim, std::optional<std::string> firmware,
                       std::optional<std::string> debugDir, double timeScale) {
  if (firmware && !sim)
    throw py::value_error("firmware chooses the simulated instrument's firmware: pass sim=True");
  if (firmware) refuseIf(surface::checkFirmwareVersion(*firmware));
  if (!(timeScale > 0)) throw py::value_error("time_scale must be above 0");
  std::shared_ptr<usb::UsbBackend> simulator;
  if (sim) {
    zyl::sim::InstrumentOptions options;
    if (firmware) options.firmwareVersion = *firmware;
    options.timeScale = timeScale;
    simulator = std::make_shared<zyl::sim::SimBackend>(
        std::make_shared<zyl::sim::Instrument>(std::move(options)));
  }
  {
    py::gil_scoped_release release;
    // The instrument object keeps the back end current at its construction: install the
    // simulator just for that, so other instruments of the process are not affected.
    static std::mutex constructing;
    std::lock_guard lock(constructing);
    std::shared_ptr<usb::UsbBackend> previous;
    if (simulator) {
      previous = usb::currentBackend();
      usb::useBackend(simulator);
    }
    z_ = std::make_unique<ZylInterface>(debugDir ? debugDir->c_str() : nullptr);
    if (simulator) usb::useBackend(previous);
  }
  live.push_back(this);
}

Instrument::~Instrument() {
  live.erase(std::remove(live.begin(), live.end(), this), live.end());
  close();
}

ZylInterface& Instrument::open() {
  if (!z_) raiseStatus(ZYL_COMM_FAILURE, "use of a closed instrument");
  return *z_;
}

void Instrument::close() {
  watcher_ = py::none();
  std::unique_ptr<ZylInterface> z = std::move(z_);
  if (!z) return;
  // Destruction stops the status thread, which may be waiting for the GIL to report a frame.
  py::gil_scoped_release release;
  z.reset();
}

void Instrument::stopStream() {
  if (!z_ || !z_->statusReportingEnabled) return;
  ZylInterface* z = z_.get();
  py::gil_scoped_release release;
  z->EnableStatusReporting(false);
}

py::dict Instrument::record() {
  py::dict d;
  surface::forEachReading(surface::readingsOf(*z_), [&](const char* name, const auto& value) {
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::array<unsigned, 32>>)
      d[name] = py::list(py::cast(value));
    else
      d[name] = value;
  });
  return d;
}

py::dict Instrument::status() {
  ZylInterface& z = open();
  if (!z.IsV3()) {
    act("status update", [](ZylInterface& z) { return surface::refreshReadings(z); });
  } else if (!z.statusReportingEnabled) {
    // V3 firmware streams its status: take one frame, so that no placeholder is shown.
    if (z.communicationState != CommConnected && z.communicationState != CommInitialized)
      raiseStatus(ZYL_COMM_FAILURE, "status update");
    z.SetStatusCallback(&onStatusFrame);
    const bool framed = ask([](ZylInterface& z) {
      const unsigned before = framesSeen.load();
      z.EnableStatusReporting(true);
      for (int i = 0; i < 60 && framesSeen.load() == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
      const bool seen = framesSeen.load() != before;
      z.EnableStatusReporting(false);
      return seen;
    });
    if (!framed) raiseStatus(ZYL_COMM_FAILURE, "status update (no status frame came)");
  }
  return record();
}

void Instrument::watchStatus(py::object callback) {
  if (inStatusCallback)
    throw std::runtime_error("watch_status cannot be called from the status callback");
  ZylInterface& z = open();
  if (callback.is_none()) {
    watcher_ = py::none();
    stopStream();
    return;
  }
  if (!PyCallable_Check(callback.ptr()))
    throw py::type_error("the status callback must be callable");
  if (z.communicationState != CommConnected && z.communicationState != CommInitialized)
    raiseStatus(ZYL_COMM_FAILURE, "status stream");
  if (!z.IsV3()) raiseStatus(ZYL_INVALID_ARGUMENT, "status stream (V3 firmware only)");
  watcher_ = std::move(callback);
  z.SetStatusCallback(&onStatusFrame);
  ask([](ZylInterface& z) {
    z.EnableStatusReporting(true);
    return 0;
  });
}

py::array_t<uint32_t> Instrument::scan(long long start, long long end, long long timeMs) {
  refuseIf(surface::checkScan(start, end, timeMs));
  const auto from = static_cast<uint16_t>(start);
  const auto to = static_cast<uint16_t>(end);
  const auto ms = static_cast<uint32_t>(timeMs);
  return open().IsV3() ? scanV3(from, to, ms) : scanOlder(from, to, ms);
}

// Older firmware: the library copies the reply into a movable block; the array is a view of the
// block, which its capsule frees. Without zero-filling, the pages past the points are never
// touched, so the block costs only what the points take.
py::array_t<uint32_t> Instrument::scanOlder(uint16_t start, uint16_t end, unsigned int timeMs) {
  HGLOBAL block = GlobalAlloc(GMEM_FIXED, kMaxScanReply);
  if (!block) throw std::bad_alloc();
  py::capsule owner(block, [](void* b) {
    GlobalUnlock(b);
    GlobalFree(b);
  });
  unsigned int points = 0;
  act("scan",
      [&](ZylInterface& z) { return z.PerformScan(start, end, timeMs, block, 0, &points); });
  auto* counts = static_cast<uint32_t*>(GlobalLock(block));
  return py::array_t<uint32_t>(points, counts, owner);
}

// V3 firmware: the scan is queued, then its message read from the scan pipe and decoded in the
// simulator's layout (zyl/sim/Scan.h) into a vector the array's capsule owns.
py::array_t<uint32_t> Instrument::scanV3(uint16_t start, uint16_t end, unsigned int timeMs) {
  act("scan pipe", [](ZylInterface& z) { return z.initializeScanReading(); });
  act("scan", [&](ZylInterface& z) { return z.PerformScanHS(1, start, end, timeMs, 0, true); });
  if (v3ScanBuffer_.empty()) v3ScanBuffer_.resize(kMaxScanReply);
  long length = static_cast<long>(v3ScanBuffer_.size());
  const int timeoutMs =
      static_cast<int>(std::min<long long>(2LL * timeMs + 1000, INT_MAX - 1000LL));
  act("scan data read", [&](ZylInterface& z) {
    return z.ZylUSBGetScanData(v3ScanBuffer_.data(), length, timeoutMs);
  });
  auto decoded =
      zyl::sim::decodeV3Scan(std::span(v3ScanBuffer_.data(), static_cast<size_t>(length)));
  if (!decoded)
    raiseError(errorClass, "scan data are not in the simulated instrument's layout", py::none());
  auto* counts = new std::vector<uint32_t>(std::move(decoded->counts));
  py::capsule owner(counts, [](void* v) { delete static_cast<std::vector<uint32_t>*>(v); });
  return py::array_t<uint32_t>(counts->size(), counts->data(), owner);
}

void Instrument::updateFirmware(py::bytes image, py::object progress) {
  const std::string_view bytes = image;
  refuseIf(surface::checkNotEmpty("firmware image", bytes.size()));
  std::vector<unsigned char> copy(bytes.begin(), bytes.end());
  if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
    throw py::type_error("progress must be callable");
  ZylInterface& z = open();
  progressTarget = progress.is_none() ? py::handle() : progress;
  z.SetProgressCallback(&onProgress);
  unsigned int status;
  {
    py::gil_scoped_release release;
    status = z.UpdateFirmware(copy.data(), static_cast<long>(copy.size()));
  }
  z.SetProgressCallback(nullptr);
  progressTarget = py::handle();
  if (PyErr_Occurred()) throw py::error_already_set();
  check(status, "firmware update");
}

}  // namespace zyl::python
