// Fixtures with a simulated instrument installed as the process's back end: SimTest plugs in the
// instrument a test asks for; SerialSimTest one whose physical clock stands still until the test
// moves it, with the library's clock manual too (its pauses pass at once), an instrument object
// connected to it, and helpers to reach the simulated serial ports.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/physics.h"
#include "sim/serial_ports.h"
#include "support/manual_clock.h"
#include "zyl/ZylInterface.h"
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

class SerialSimTest : public SimTest {
 protected:
  void plug(std::string version = "VERSION130904A-V3") {
    z.reset();
    SimTest::plug({.firmwareVersion = version, .manualClock = true});
    z = std::make_unique<ZylInterface>();
    ASSERT_EQ(z->GetCommunicationState(), CommInitialized);
    instrument->clearTrace();
  }
  void SetUp() override { plug(); }
  void TearDown() override {
    z.reset();
    SimTest::TearDown();
  }

  // Runs `f(SerialPorts&, PhysicalModel&)` inside the simulated firmware.
  template <class F>
  auto firmware(F&& f) {
    return SimTest::firmware([&](sim::FirmwareContext& c) {
      return f(c.state().part<sim::SerialPorts>(), sim::physicsNow(c));
    });
  }
  void queue(int channel, std::string_view bytes) {
    firmware([&](sim::SerialPorts& ports, sim::PhysicalModel&) {
      ports.port(channel)->received.insert(ports.port(channel)->received.end(), bytes.begin(),
                                           bytes.end());
    });
  }
  size_t waiting(int channel) {
    return firmware([&](sim::SerialPorts& ports, sim::PhysicalModel&) {
      return ports.port(channel)->received.size();
    });
  }
  // The commands written since the last clearTrace that start with `prefix`.
  std::vector<std::string> sent(std::string_view prefix) {
    std::vector<std::string> out;
    for (const auto& t : instrument->trace())
      if (t.direction == sim::Direction::Out && t.ok && t.text().starts_with(prefix))
        out.push_back(t.text());
    return out;
  }

  ManualClock clock;  // before z: the instrument object reads it from construction on
  std::unique_ptr<ZylInterface> z;
};

}  // namespace zyl::test
