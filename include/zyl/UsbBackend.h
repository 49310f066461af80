// The USB back-end interface under the instrument's device layer.
//
// The device layer (CCyUSBDevice and its endpoints) reaches the instrument only through this
// process-wide interface. The default back end is libusb-1.0; `ZYL_BACKEND=sim` in the
// environment (read once, at first use) makes it the simulated instrument instead. Hosts and
// tests may install a back end of their own with `useBackend`.
//
// Contract every back end keeps:
//  - several handles onto one instrument work in parallel from different threads;
//  - `bulkTransfer` is exactly one transfer: OUT sends `length` bytes, IN reads at most `length`
//    bytes and ends when the device ends the transfer; `length` returns the bytes moved (also
//    the bytes that arrived before a time-out or cancellation); the result says why a transfer
//    failed, because the layers above act on it (a time-out paces the status thread, a vanished
//    device does not);
//  - a time-out of 0 means "do not wait": only what is already there is moved;
//  - `abortPipe` from another thread wakes a transfer blocked on that endpoint of that handle,
//    which then fails; the endpoint stays usable afterwards;
//  - once the instrument is gone, every operation of a handle opened before fails for good.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zyl::usb {

// One endpoint of the selected interface setting, as its USB descriptor gives it.
struct EndpointDescriptor {
  uint8_t address = 0;  // bit 7 set for IN
  uint8_t attributes =
      0;  // transfer type in bits 0-1: 0 control, 1 isochronous, 2 bulk, 3 interrupt
  uint16_t maxPacketSize = 0;
  uint8_t interval = 0;  // polling interval of interrupt and isochronous endpoints
};

// What a handle (or UsbBackend::describe) tells of one instrument.
struct DeviceDescriptor {
  // From the device descriptor: USB IDs, USB version (BCD), class, packet size of endpoint 0.
  uint16_t vendorId = 0, productId = 0, bcdUSB = 0;
  uint8_t deviceClass = 0, maxPacketSize0 = 64;
  std::string manufacturer, product, serialNumber;  // string descriptors; empty when not given
  bool highSpeed = false;                           // connected at 480 Mbit/s
  std::vector<EndpointDescriptor> endpoints;        // of the selected interface setting, in order
  // Where the device sits: its host bus and its address on it (both 0 where there is no bus).
  uint8_t busNumber = 0, deviceAddress = 0;
};

// How a transfer or vendor request ended.
enum class TransferResult : uint8_t {
  ok,
  timeout,    // nothing, or not all of it, moved within the time-out
  stall,      // the endpoint is halted (or the device refused the request)
  noDevice,   // the device is gone, or the handle cannot reach it any more
  cancelled,  // abortPipe from another thread ended it
  other,      // anything else: a bad argument, a bus or back-end error
};
const char* describe(TransferResult result);  // "ok", "time-out", "stall", ...

// One open handle onto one instrument. A handle is used by one thread at a time, except
// `abortPipe`, which may come from another thread (see the contract above). Destroying it closes
// it.
class UsbHandle {
 public:
  virtual ~UsbHandle() = default;
  // The descriptors read when the handle was opened; valid as long as the handle.
  virtual const DeviceDescriptor& descriptor() const = 0;
  // One bulk transfer on `endpoint` (bit 7 set: IN), bounded by `timeoutMs` (0: do not wait);
  // `length` in: bytes to send or room to read, out: bytes moved.
  virtual TransferResult bulkTransfer(uint8_t endpoint, uint8_t* data, long& length,
                                      uint32_t timeoutMs) = 0;
  // A vendor-type control request, host to device, device recipient, no data stage.
  virtual TransferResult vendorRequest(uint8_t request, uint16_t value, uint16_t index,
                                       uint32_t timeoutMs) = 0;
  virtual bool abortPipe(uint8_t endpoint) = 0;  // cancels every pending transfer of it
  virtual bool resetPipe(uint8_t endpoint) = 0;  // clears halt and data toggle
  // Resets the USB port the device hangs on (it enumerates again); false when not possible.
  virtual bool resetParentPort() = 0;
};

// Finds instruments and opens handles onto them. Called from any thread, also at the same time
// (the status and scan pipes open their own handles).
class UsbBackend {
 public:
  virtual ~UsbBackend() = default;
  // How many instruments are attached now; indexes 0 to count - 1 name them for `open`.
  virtual int deviceCount() = 0;
  virtual std::unique_ptr<UsbHandle> open(int index) = 0;  // null when it cannot be opened
  // What the back end is ("libusb", "sim", ...), for whoever lists instruments and the debug log.
  virtual const char* name() const { return "custom"; }
  // The descriptor of instrument `index` without taking it from whoever uses it (no interface
  // claimed); nothing when there is no such instrument. Texts the device would not give (no
  // permission to open it) are empty. The default opens a handle and closes it again.
  // Inline, so that a back end needs nothing of libzyl (the simulator is one).
  virtual std::optional<DeviceDescriptor> describe(int index) {
    std::unique_ptr<UsbHandle> handle = open(index);
    if (!handle) return std::nullopt;
    return handle->descriptor();
  }
};

// Installs the process-wide back end; null restores the default. Instrument objects made before
// keep the back end they were made with, so install it before making them. Thread-safe.
void useBackend(std::shared_ptr<UsbBackend> backend);
// The back end new instrument objects take: the installed one, else the default (made on first
// use from ZYL_BACKEND). Thread-safe.
std::shared_ptr<UsbBackend> currentBackend();

// Back-end diagnostics (libusb errors, devices skipped): a back end reports them with
// `diagnostic`, and they reach the sink of the device object that called into the back end, given
// to it when it was made (the instrument object's debug log, or nothing). The device object
// places the scope around each of its calls; outside any scope diagnostics are dropped.
using DiagnosticSink = void (*)(void* context, const char* message);
// Routes this thread's diagnostics to `sink` (with `context`) while it lives; scopes nest, and
// the destructor restores the one before.
class DiagnosticScope {
 public:
  DiagnosticScope(DiagnosticSink sink, void* context);
  ~DiagnosticScope();
  DiagnosticScope(const DiagnosticScope&) = delete;
  DiagnosticScope& operator=(const DiagnosticScope&) = delete;

 private:
  DiagnosticSink previousSink_;
  void* previousContext_;
};
// Reports one printf-style diagnostic line to the sink of the calling thread's scope, if any.
void diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zyl::usb
