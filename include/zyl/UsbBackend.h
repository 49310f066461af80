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

struct EndpointDescriptor {
  uint8_t address = 0;  // bit 7 set for IN
  uint8_t attributes =
      0;  // transfer type in bits 0-1: 0 control, 1 isochronous, 2 bulk, 3 interrupt
  uint16_t maxPacketSize = 0;
  uint8_t interval = 0;
};

struct DeviceDescriptor {
  uint16_t vendorId = 0, productId = 0, bcdUSB = 0;
  uint8_t deviceClass = 0, maxPacketSize0 = 64;
  std::string manufacturer, product, serialNumber;
  bool highSpeed = false;
  std::vector<EndpointDescriptor> endpoints;  // of the selected interface setting, in order
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

// One open handle onto one instrument.
class UsbHandle {
 public:
  virtual ~UsbHandle() = default;
  virtual const DeviceDescriptor& descriptor() const = 0;
  virtual TransferResult bulkTransfer(uint8_t endpoint, uint8_t* data, long& length,
                                      uint32_t timeoutMs) = 0;
  // A vendor-type control request, host to device, device recipient, no data stage.
  virtual TransferResult vendorRequest(uint8_t request, uint16_t value, uint16_t index,
                                       uint32_t timeoutMs) = 0;
  virtual bool abortPipe(uint8_t endpoint) = 0;  // cancels every pending transfer of it
  virtual bool resetPipe(uint8_t endpoint) = 0;  // clears halt and data toggle
  virtual bool resetParentPort() = 0;
};

// Finds instruments and opens handles onto them.
class UsbBackend {
 public:
  virtual ~UsbBackend() = default;
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

// Installs the process-wide back end; null restores the default.
void useBackend(std::shared_ptr<UsbBackend> backend);
std::shared_ptr<UsbBackend> currentBackend();

// Back-end diagnostics (libusb errors, devices skipped): a back end reports them with
// `diagnostic`, and they reach the sink of the device object that called into the back end, given
// to it when it was made (the instrument object's debug log, or nothing). The device object
// places the scope around each of its calls; outside any scope diagnostics are dropped.
using DiagnosticSink = void (*)(void* context, const char* message);
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
void diagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zyl::usb
