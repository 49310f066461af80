// The two fixtures of the peripheral tests: an instrument object connected to the scripted fake
// back end, and one connected to a simulated instrument whose physical clock stands still until
// the test moves it, with the library's clock manual too (its pauses pass at once), and helpers to
// reach the simulated serial ports.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "sim/physics.h"
#include "sim/serial_ports.h"
#include "support/LinkFixture.h"
#include "support/ManualClock.h"
#include "zyl/ZylInterface.h"
#include "zyl/sim/SimBackend.h"

namespace zyl::test {

class ConnectedFakeTest : public FakeLinkTest {
 protected:
  // A new instrument object, with the traffic of its connection forgotten.
  void SetUp() override {
    FakeLinkTest::SetUp();
    z = std::make_unique<ZylInterface>();
    fake->clearRecord();
  }
  void TearDown() override {
    z.reset();
    FakeLinkTest::TearDown();
  }
  std::unique_ptr<ZylInterface> z;
};

class SerialSimTest : public ::testing::Test {
 protected:
  void plug(std::string version = "VERSION130904A-V3") {
    z.reset();
    instrument = std::make_shared<sim::Instrument>(
        sim::InstrumentOptions{.firmwareVersion = version, .manualClock = true});
    zyl::usb::useBackend(std::make_shared<sim::SimBackend>(instrument));
    z = std::make_unique<ZylInterface>();
    ASSERT_EQ(z->GetCommunicationState(), CommInitialized);
    instrument->clearTrace();
  }
  void SetUp() override { plug(); }
  void TearDown() override {
    z.reset();
    zyl::usb::useBackend(nullptr);
  }

  // Runs `f(SerialPorts&, PhysicalModel&)` inside the simulated firmware.
  template <class F>
  auto firmware(F&& f) {
    return instrument->withFirmware([&](sim::FirmwareContext& c) {
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
  // Moves the instrument's physics on by `ms` of simulated time.
  void advance(double ms) { instrument->clock().advance(ms); }

  ManualClock clock;  // first: the instrument object reads it from construction on
  std::shared_ptr<sim::Instrument> instrument;
  std::unique_ptr<ZylInterface> z;
};

// A serial read given `capacity` as its length, into a buffer of exactly `bytes` characters (by
// default `capacity`), so that the sanitizers see a write beyond it: its status, the count it gave
// and the characters counted ("<unterminated>" when no terminator follows them).
using ReadResult = std::tuple<unsigned int, long, std::string>;
template <class Read>
ReadResult readInto(long capacity, Read read, size_t bytes = 0) {
  std::vector<char> buffer(bytes ? bytes : static_cast<size_t>(capacity), 'z');
  long length = capacity;
  const unsigned int status = read(buffer.data(), length);
  if (length < 0 || static_cast<size_t>(length) >= buffer.size() ||
      buffer[static_cast<size_t>(length)] != '\0')
    return {status, length, "<unterminated>"};
  return {status, length, std::string(buffer.data(), static_cast<size_t>(length))};
}

// The bytes of `text` as two hex digits each: lower case as the write command carries them, upper
// case as the simulated controller reports them.
inline std::string hexOf(std::string_view text, bool upper = false) {
  const char* kDigits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

}  // namespace zyl::test
