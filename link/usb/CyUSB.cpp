#include "link/usb/CyUSB.h"

#include <type_traits>
#include <utility>

namespace {

using zyl::usb::TransferResult;

constexpr uint8_t kTypeControl = 0, kTypeIsochronous = 1, kTypeBulk = 2, kTypeInterrupt = 3;

// Every call into the back end: its diagnostics go to the device object's sink, and whatever it
// throws (a back end is foreign code) becomes a failure here, so that the command channel above
// only ever sees a result.
template <typename F>
auto guarded(const CCyDiagnostics* diagnostics, F&& f) noexcept -> decltype(f()) {
  zyl::usb::DiagnosticScope scope(diagnostics ? diagnostics->sink : nullptr,
                                  diagnostics ? diagnostics->context : nullptr);
  try {
    return std::forward<F>(f)();
  } catch (...) {
    zyl::usb::diagnostic("USB back end raised an exception");
    if constexpr (std::is_same_v<decltype(f()), TransferResult>)
      return TransferResult::other;
    else
      return decltype(f()){};
  }
}

}  // namespace

// ---- Endpoints ------------------------------------------------------------------------------

CCyUSBEndPoint::CCyUSBEndPoint(zyl::usb::UsbHandle* handle,
                               const zyl::usb::EndpointDescriptor& descriptor,
                               const CCyDiagnostics* diagnostics)
    : address(descriptor.address),
      attributes(descriptor.attributes),
      maxPktSize(descriptor.maxPacketSize),
      interval(descriptor.interval),
      in((descriptor.address & 0x80) != 0),
      handle_(handle),
      diagnostics_(diagnostics) {}

bool CCyUSBEndPoint::finish(TransferResult result, long moved) {
  bytesTransferred = moved;
  lastResult = result;
  usbStatus = static_cast<uint32_t>(result);
  systemStatus = result == TransferResult::ok ? 0 : 1;
  return result == TransferResult::ok;
}

bool CCyUSBEndPoint::abortPipe() {
  return guarded(diagnostics_, [&] { return handle_->abortPipe(address); });
}

bool CCyUSBEndPoint::resetPipe() {
  return guarded(diagnostics_, [&] { return handle_->resetPipe(address); });
}

bool CCyUSBEndPoint::handleTransfer(unsigned char* buffer, long& length) {
  if (length < 0) length = 0;
  const long requested = length;
  const TransferResult result = guarded(
      diagnostics_, [&] { return handle_->bulkTransfer(address, buffer, length, timeoutMs); });
  if (length < 0 || length > requested)  // never beyond the capacity
    length = result == TransferResult::ok ? requested : 0;
  // A halted endpoint stays halted until the host clears the halt, and nothing above this layer
  // would: every later transfer on the pipe would fail, and a command pipe could not even be
  // reopened. This transfer still fails; the next one can go through.
  if (result == TransferResult::stall) resetPipe();
  return finish(result, length);
}

bool CCyBulkEndPoint::transfer(unsigned char* buffer, long& length) {
  return handleTransfer(buffer, length);
}

bool CCyInterruptEndPoint::transfer(unsigned char* buffer, long& length) {
  return handleTransfer(buffer, length);
}

bool CCyIsocEndPoint::transfer(unsigned char*, long& length) {
  length = 0;
  return finish(TransferResult::other, 0);
}

CCyControlEndPoint::CCyControlEndPoint(zyl::usb::UsbHandle* handle, uint16_t maxPacketSize0,
                                       const CCyDiagnostics* diagnostics)
    : CCyUSBEndPoint(handle, zyl::usb::EndpointDescriptor{0, kTypeControl, maxPacketSize0, 0},
                     diagnostics) {}

bool CCyControlEndPoint::transfer(unsigned char*, long& length) {
  const bool carried = target == 0 && reqType == 2 && direction == 0 && length == 0;
  length = 0;
  if (!carried) return finish(TransferResult::other, 0);
  return finish(guarded(diagnostics_,
                        [&] { return handle_->vendorRequest(reqCode, value, index, timeoutMs); }),
                0);
}

bool CCyControlEndPoint::vendorRequest(uint8_t code) {
  target = 0;
  reqType = 2;
  direction = 0;
  reqCode = code;
  value = 0;
  index = 0;
  long none = 0;
  return transfer(nullptr, none);
}

// ---- Device ---------------------------------------------------------------------------------

CCyUSBDevice::CCyUSBDevice(bool open, std::shared_ptr<zyl::usb::UsbBackend> backend,
                           CCyDiagnostics diagnostics)
    : backend_(backend ? std::move(backend) : zyl::usb::currentBackend()),
      diagnostics_(diagnostics) {
  if (open) openDevice(0);
}

const char* CCyUSBDevice::backendName() const {
  const char* name = backend_ ? guarded(&diagnostics_, [&] { return backend_->name(); }) : nullptr;
  return name ? name : "none";
}

CCyUSBDevice::~CCyUSBDevice() {
  closeDevice();
}

int CCyUSBDevice::deviceCount() {
  if (!backend_) return 0;
  const int count = guarded(&diagnostics_, [&] { return backend_->deviceCount(); });
  return count < 0 ? 0 : count;
}

bool CCyUSBDevice::openDevice(int index) {
  closeDevice();
  if (index < 0 || index >= deviceCount()) return false;
  handle_ = guarded(&diagnostics_, [&] { return backend_->open(index); });
  if (!handle_) return false;

  const zyl::usb::DeviceDescriptor& d = handle_->descriptor();
  deviceIndex = index;
  vendorId = d.vendorId;
  productId = d.productId;
  bcdUSB = d.bcdUSB;
  deviceClass = d.deviceClass;
  maxPacketSize0 = d.maxPacketSize0;
  manufacturer = d.manufacturer;
  product = d.product;
  serialNumber = d.serialNumber;
  highSpeed = d.highSpeed;

  auto control =
      std::make_unique<CCyControlEndPoint>(handle_.get(), d.maxPacketSize0, &diagnostics_);
  controlEndpoint = control.get();
  endpoints_.push_back(std::move(control));
  for (const zyl::usb::EndpointDescriptor& e : d.endpoints) {
    const bool isIn = (e.address & 0x80) != 0;
    switch (e.attributes & 0x03) {
      case kTypeBulk: {
        auto ep = std::make_unique<CCyBulkEndPoint>(handle_.get(), e, &diagnostics_);
        CCyBulkEndPoint*& first = isIn ? firstBulkIn : firstBulkOut;
        if (!first) first = ep.get();
        endpoints_.push_back(std::move(ep));
        break;
      }
      case kTypeInterrupt: {
        auto ep = std::make_unique<CCyInterruptEndPoint>(handle_.get(), e, &diagnostics_);
        CCyInterruptEndPoint*& first = isIn ? firstInterruptIn : firstInterruptOut;
        if (!first) first = ep.get();
        endpoints_.push_back(std::move(ep));
        break;
      }
      case kTypeIsochronous: {
        auto ep = std::make_unique<CCyIsocEndPoint>(handle_.get(), e, &diagnostics_);
        CCyIsocEndPoint*& first = isIn ? firstIsocIn : firstIsocOut;
        if (!first) first = ep.get();
        endpoints_.push_back(std::move(ep));
        break;
      }
      default:
        break;  // a second control endpoint in an interface is not addressable here
    }
  }
  return true;
}

void CCyUSBDevice::closeDevice() {
  controlEndpoint = nullptr;
  firstBulkIn = firstBulkOut = nullptr;
  firstInterruptIn = firstInterruptOut = nullptr;
  firstIsocIn = firstIsocOut = nullptr;
  endpoints_.clear();
  guarded(&diagnostics_, [&] {  // releasing the last handle of a device may report a failure
    handle_.reset();
    return true;
  });
  deviceIndex = -1;
}

bool CCyUSBDevice::resetParentPort() {
  if (!handle_) return false;
  return guarded(&diagnostics_, [&] { return handle_->resetParentPort(); });
}
