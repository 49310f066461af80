// A fixture with a simulated instrument installed as the process's back end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string_view>
#include <utility>

#include "zyl/sim/SimBackend.h"

namespace zyl::test {

class SimTest : public ::testing::Test {
 protected:
  void plug(sim::InstrumentOptions options = {}) {
    instrument = std::make_shared<sim::Instrument>(options);
    zyl::usb::useBackend(std::make_shared<sim::SimBackend>(instrument));
  }
  void TearDown() override { zyl::usb::useBackend(nullptr); }

  // Runs `f(sim::FirmwareContext&)` inside the simulated firmware.
  template <class F>
  auto firmware(F&& f) {
    return instrument->withFirmware(std::forward<F>(f));
  }
  // How often the instrument took `command` since its trace was last cleared.
  int sent(std::string_view command) {
    int n = 0;
    for (const auto& e : instrument->trace())
      if (e.endpoint == sim::kCommandOut && e.ok && e.text() == command) ++n;
    return n;
  }

  std::shared_ptr<sim::Instrument> instrument;
};

}  // namespace zyl::test
