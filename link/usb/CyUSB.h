// The FX2 device layer: a device object per open handle onto the instrument, with its endpoint
// list (control endpoint first, then the interface's endpoints in descriptor order), over the
// process-wide UsbBackend. The command channel uses one device object per pipe so that the
// command, status and scan pipes work in parallel.
//
// Each device object is given, when it is made, where back-end diagnostics go (the instrument
// object's debug log, or nowhere); every call it makes into the back end reports there, whatever
// thread it runs on.
//
// Isochronous transfers are not carried by the back-end interface: the instrument has no such
// endpoint, and a transfer on one fails. Interrupt endpoints transfer like bulk ones (the kernel
// turns a bulk request on an interrupt endpoint into an interrupt transfer).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zyl/UsbBackend.h"

// Where a device object's back-end diagnostics go; no sink drops them.
struct CCyDiagnostics {
  zyl::usb::DiagnosticSink sink = nullptr;
  void* context = nullptr;
};

class CCyUSBEndPoint {
 public:
  CCyUSBEndPoint(zyl::usb::UsbHandle* handle, const zyl::usb::EndpointDescriptor& descriptor,
                 const CCyDiagnostics* diagnostics = nullptr);
  virtual ~CCyUSBEndPoint() = default;
  CCyUSBEndPoint(const CCyUSBEndPoint&) = delete;
  CCyUSBEndPoint& operator=(const CCyUSBEndPoint&) = delete;

  // Exactly one transfer bounded by `timeoutMs`; `length` in: bytes to send or capacity, out:
  // bytes moved. A transfer that times out is cancelled and fails; the endpoint stays usable.
  virtual bool transfer(unsigned char* buffer, long& length) = 0;
  bool abortPipe();
  bool resetPipe();

  // Descriptor fields.
  uint8_t dscLen = 7;
  uint8_t dscType = 5;
  uint8_t address = 0;     // bit 7 set for IN
  uint8_t attributes = 0;  // transfer type in bits 0-1
  uint16_t maxPktSize = 0;
  uint8_t interval = 0;
  bool in = false;

  uint32_t timeoutMs = 10000;  // applies to the next transfer
  bool directTransfer = true;
  // Outcome of the last transfer: `lastResult` says why it failed; `usbStatus` carries the same
  // as a number (0 for ok), `systemStatus` is 0 on success and 1 otherwise.
  long bytesTransferred = 0;
  uint32_t usbStatus = 0;
  uint32_t systemStatus = 0;
  zyl::usb::TransferResult lastResult = zyl::usb::TransferResult::ok;

 protected:
  bool finish(zyl::usb::TransferResult result, long moved);
  // One bulk-style transfer through the handle (bulk and interrupt endpoints).
  bool handleTransfer(unsigned char* buffer, long& length);

  zyl::usb::UsbHandle* handle_;
  const CCyDiagnostics* diagnostics_;
};

class CCyBulkEndPoint : public CCyUSBEndPoint {
 public:
  using CCyUSBEndPoint::CCyUSBEndPoint;
  bool transfer(unsigned char* buffer, long& length) override;
};

class CCyInterruptEndPoint : public CCyUSBEndPoint {
 public:
  using CCyUSBEndPoint::CCyUSBEndPoint;
  bool transfer(unsigned char* buffer, long& length) override;
};

class CCyIsocEndPoint : public CCyUSBEndPoint {
 public:
  using CCyUSBEndPoint::CCyUSBEndPoint;
  bool transfer(unsigned char* buffer, long& length) override;
};

class CCyControlEndPoint : public CCyUSBEndPoint {
 public:
  CCyControlEndPoint(zyl::usb::UsbHandle* handle, uint16_t maxPacketSize0,
                     const CCyDiagnostics* diagnostics = nullptr);
  // Sends the request described by the fields below. Only host-to-device vendor requests to the
  // device without a data stage are carried (all the instrument needs); `length` must be 0.
  bool transfer(unsigned char* buffer, long& length) override;
  // A vendor request with this code, value 0, index 0 and no data.
  bool vendorRequest(uint8_t code);

  uint8_t target = 0;     // recipient: device
  uint8_t reqType = 2;    // vendor
  uint8_t direction = 0;  // host to device
  uint8_t reqCode = 0;
  uint16_t value = 0;
  uint16_t index = 0;
};

class CCyUSBDevice {
 public:
  // Opens device index 0 at once when `open` is set. Without a back end, the process-wide one.
  explicit CCyUSBDevice(bool open = true, std::shared_ptr<zyl::usb::UsbBackend> backend = nullptr,
                        CCyDiagnostics diagnostics = {});
  ~CCyUSBDevice();
  CCyUSBDevice(const CCyUSBDevice&) = delete;
  CCyUSBDevice& operator=(const CCyUSBDevice&) = delete;

  int deviceCount();
  // Closes a previous handle first; false when the index is not below deviceCount or the
  // device cannot be opened.
  bool openDevice(int index);
  void closeDevice();
  bool resetParentPort();
  bool isOpen() const { return handle_ != nullptr; }
  const char* backendName() const;

  int endpointCount() const { return static_cast<int>(endpoints_.size()); }
  CCyUSBEndPoint* endpoint(int i) const {
    return i >= 0 && i < endpointCount() ? endpoints_[static_cast<size_t>(i)].get() : nullptr;
  }

  CCyControlEndPoint* controlEndpoint = nullptr;
  CCyBulkEndPoint* firstBulkIn = nullptr;
  CCyBulkEndPoint* firstBulkOut = nullptr;
  CCyInterruptEndPoint* firstInterruptIn = nullptr;
  CCyInterruptEndPoint* firstInterruptOut = nullptr;
  CCyIsocEndPoint* firstIsocIn = nullptr;
  CCyIsocEndPoint* firstIsocOut = nullptr;

  // What the device reported when it was opened.
  int deviceIndex = -1;
  uint16_t vendorId = 0, productId = 0, bcdUSB = 0;
  uint8_t deviceClass = 0, maxPacketSize0 = 0;
  std::string manufacturer, product, serialNumber;
  bool highSpeed = false;

 private:
  std::shared_ptr<zyl::usb::UsbBackend> backend_;
  const CCyDiagnostics diagnostics_;
  std::unique_ptr<zyl::usb::UsbHandle> handle_;
  std::vector<std::unique_ptr<CCyUSBEndPoint>> endpoints_;
};
