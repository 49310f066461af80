#include "link/usb/CyUSB.h"

#include <utility>

namespace {

constexpr uint8_t kTypeControl = 0, kTypeIsochronous = 1, kTypeBulk = 2, kTypeInterrupt = 3;

// A back end is foreign code: whatever it throws becomes a failed operation here, so that the
// command channel above only ever sees true or false.
template <typename F>
bool guarded(F&& f) noexcept {
  try {
    return std::forward<F>(f)();
  } catch (...) {
    zyl::usb::diagnostic("USB back end raised an exception");
    return false;
  }
}

}  // namespace

// ---- Endpoints ------------------------------------------------------------------------------

CCyUSBEndPoint::CCyUSBEndPoint(zyl::usb::UsbHandle* handle,
                               const zyl::usb::EndpointDescriptor& descriptor)
    : address(descriptor.address),
      attributes(descriptor.attributes),
      maxPktSize(descriptor.maxPacketSize),
      interval(descriptor.interval),
      in((descriptor.address & 0x80) != 0),
      handle_(handle) {}

bool CCyUSBEndPoint::finish(bool ok, long moved) {
  bytesTransferred = moved;
  usbStatus = ok ? 0 : 1;
  systemStatus = ok ? 0 : 1;
  return ok;
}

bool CCyUSBEndPoint::abortPipe() {
  return guarded([&] { return handle_->abortPipe(address); });
}

bool CCyUSBEndPoint::resetPipe() {
  return guarded([&] { return handle_->resetPipe(address); });
}

bool CCyUSBEndPoint::handleTransfer(unsigned char* buffer, long& length) {
  if (length < 0) length = 0;
  const long requested = length;
  const bool ok =
      guarded([&] { return handle_->bulkTransfer(address, buffer, length, timeoutMs); });
  if (length < 0 || length > requested) length = ok ? requested : 0;  // never beyond the capacity
  return finish(ok, length);
}

bool CCyBulkEndPoint::transfer(unsigned char* buffer, long& length) {
  return handleTransfer(buffer, length);
}

bool CCyInterruptEndPoint::transfer(unsigned char* buffer, long& length) {
  return handleTransfer(buffer, length);
}

bool CCyIsocEndPoint::transfer(unsigned char*, long& length) {
  length = 0;
  return finish(false, 0);
}

CCyControlEndPoint::CCyControlEndPoint(zyl::usb::UsbHandle* handle, uint16_t maxPacketSize0)
    : CCyUSBEndPoint(handle, zyl::usb::EndpointDescriptor{0, kTypeControl, maxPacketSize0, 0}) {}

bool CCyControlEndPoint::transfer(unsigned char*, long& length) {
  const bool carried = target == 0 && reqType == 2 && direction == 0 && length == 0;
  length = 0;
  if (!carried) return finish(false, 0);
  return finish(guarded([&] { return handle_->vendorRequest(reqCode, value, index, timeoutMs); }),
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

CCyUSBDevice::CCyUSBDevice(bool open, std::shared_ptr<zyl::usb::UsbBackend> backend)
    : backend_(backend ? std::move(backend) : zyl::usb::currentBackend()) {
  if (open) openDevice(0);
}

CCyUSBDevice::~CCyUSBDevice() {
  closeDevice();
}

int CCyUSBDevice::deviceCount() {
  if (!backend_) return 0;
  int count = 0;
  guarded([&] {
    count = backend_->deviceCount();
    return true;
  });
  return count < 0 ? 0 : count;
}

bool CCyUSBDevice::openDevice(int index) {
  closeDevice();
  if (index < 0 || index >= deviceCount()) return false;
  guarded([&] {
    handle_ = backend_->open(index);
    return handle_ != nullptr;
  });
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

  auto control = std::make_unique<CCyControlEndPoint>(handle_.get(), d.maxPacketSize0);
  controlEndpoint = control.get();
  endpoints_.push_back(std::move(control));
  for (const zyl::usb::EndpointDescriptor& e : d.endpoints) {
    const bool isIn = (e.address & 0x80) != 0;
    switch (e.attributes & 0x03) {
      case kTypeBulk: {
        auto ep = std::make_unique<CCyBulkEndPoint>(handle_.get(), e);
        CCyBulkEndPoint*& first = isIn ? firstBulkIn : firstBulkOut;
        if (!first) first = ep.get();
        endpoints_.push_back(std::move(ep));
        break;
      }
      case kTypeInterrupt: {
        auto ep = std::make_unique<CCyInterruptEndPoint>(handle_.get(), e);
        CCyInterruptEndPoint*& first = isIn ? firstInterruptIn : firstInterruptOut;
        if (!first) first = ep.get();
        endpoints_.push_back(std::move(ep));
        break;
      }
      case kTypeIsochronous: {
        auto ep = std::make_unique<CCyIsocEndPoint>(handle_.get(), e);
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
  handle_.reset();
  deviceIndex = -1;
}

bool CCyUSBDevice::resetParentPort() {
  if (!handle_) return false;
  return guarded([&] { return handle_->resetParentPort(); });
}
