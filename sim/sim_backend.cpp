// The simulated instruments as a USB back end.
#include <zyl/sim/SimBackend.h>

namespace zyl::sim {

SimBackend::SimBackend(std::shared_ptr<Instrument> instrument) {
  add(std::move(instrument));
}

SimBackend::SimBackend(std::vector<std::shared_ptr<Instrument>> instruments) {
  for (auto& i : instruments) add(std::move(i));
}

void SimBackend::add(std::shared_ptr<Instrument> instrument) {
  if (!instrument) return;
  std::lock_guard lock(mutex_);
  instruments_.push_back(std::move(instrument));
}

std::vector<std::shared_ptr<Instrument>> SimBackend::instruments() const {
  std::lock_guard lock(mutex_);
  return instruments_;
}

int SimBackend::deviceCount() {
  int n = 0;
  for (auto& i : instruments())
    if (i->plugged()) ++n;
  return n;
}

std::unique_ptr<zyl::usb::UsbHandle> SimBackend::open(int index) {
  if (index < 0) return nullptr;
  for (auto& i : instruments()) {
    if (!i->plugged()) continue;
    if (index-- == 0) return i->open();
  }
  return nullptr;
}

std::optional<zyl::usb::DeviceDescriptor> SimBackend::describe(int index) {
  if (index < 0) return std::nullopt;
  uint8_t address = 0;
  for (auto& i : instruments()) {
    ++address;
    if (!i->plugged() || index-- != 0) continue;
    zyl::usb::DeviceDescriptor d = i->descriptor();
    d.deviceAddress = address;
    return d;
  }
  return std::nullopt;
}

}  // namespace zyl::sim
