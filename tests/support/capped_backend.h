// The simulated instrument as a back end whose transfers wait no longer than a cap, so that a
// silent instrument costs a fraction of a second instead of the 10 s most commands allow. Nothing
// else of the link changes: a time-out is still a time-out.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>

#include "zyl/sim/SimBackend.h"

namespace zyl::test {

class CappedHandle : public usb::UsbHandle {
 public:
  CappedHandle(std::unique_ptr<usb::UsbHandle> h, uint32_t capMs) : h_(std::move(h)), cap_(capMs) {}
  const usb::DeviceDescriptor& descriptor() const override { return h_->descriptor(); }
  usb::TransferResult bulkTransfer(uint8_t ep, uint8_t* data, long& n, uint32_t ms) override {
    return h_->bulkTransfer(ep, data, n, std::min(ms, cap_));
  }
  usb::TransferResult vendorRequest(uint8_t r, uint16_t v, uint16_t i, uint32_t ms) override {
    return h_->vendorRequest(r, v, i, ms);
  }
  bool abortPipe(uint8_t ep) override { return h_->abortPipe(ep); }
  bool resetPipe(uint8_t ep) override { return h_->resetPipe(ep); }
  bool resetParentPort() override { return h_->resetParentPort(); }

 private:
  std::unique_ptr<usb::UsbHandle> h_;
  uint32_t cap_;
};

class CappedBackend : public sim::SimBackend {
 public:
  CappedBackend(std::shared_ptr<sim::Instrument> instrument, uint32_t capMs)
      : SimBackend(std::move(instrument)), cap_(capMs) {}
  std::unique_ptr<usb::UsbHandle> open(int index) override {
    auto h = SimBackend::open(index);
    return h ? std::make_unique<CappedHandle>(std::move(h), cap_) : nullptr;
  }

 private:
  uint32_t cap_;
};

}  // namespace zyl::test
