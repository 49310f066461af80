// A UsbBackend made of simulated instruments (see Instrument.h).
//
//   auto a = std::make_shared<zyl::sim::Instrument>();
//   auto backend = std::make_shared<zyl::sim::SimBackend>(a);
//   backend->add(std::make_shared<zyl::sim::Instrument>(options));  // a second instrument
//   zyl::usb::useBackend(backend);
//
// `deviceCount` counts the instruments plugged in now; `open(i)` opens the i-th of them, in the
// order they were added. Handles onto one instrument share its firmware state and its endpoint
// FIFOs and may be used from several threads at once.
#pragma once

#include <zyl/UsbBackend.h>
#include <zyl/sim/Instrument.h>

#include <memory>
#include <mutex>
#include <vector>

namespace zyl::sim {

// Thread-safe: instruments may be added while handles are in use.
class SimBackend : public zyl::usb::UsbBackend {
 public:
  SimBackend() = default;
  explicit SimBackend(std::shared_ptr<Instrument> instrument);
  explicit SimBackend(std::vector<std::shared_ptr<Instrument>> instruments);

  void add(std::shared_ptr<Instrument> instrument);  // plugs in one more, after the others
  std::vector<std::shared_ptr<Instrument>> instruments() const;  // all added, plugged in or not

  int deviceCount() override;
  std::unique_ptr<zyl::usb::UsbHandle> open(int index) override;
  const char* name() const override { return "sim"; }
  // Bus 0; the address is the instrument's place in the order they were added, from 1.
  std::optional<zyl::usb::DeviceDescriptor> describe(int index) override;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Instrument>> instruments_;
};

}  // namespace zyl::sim
