// The V3 status stream against the simulated instrument: frames into the record, the callback,
// the stop protocol under rapid switching, unplugging, destruction while streaming.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "sim/controller_io.h"
#include "sim/physics.h"
#include "sim/status_report.h"
#include "support/ManualClock.h"
#include "zyl/ZylInterface.h"
#include "zyl/sim/SimBackend.h"

namespace zyl::test {
namespace {

using sim::Fault;
using sim::FaultKind;
using sim::FirmwareContext;
using sim::Instrument;
using sim::InstrumentOptions;
using Clock = std::chrono::steady_clock;

std::atomic<int> frames{0};
void countFrame() {
  ++frames;
}

bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string statusString(ZylInterface& z) {
  char out[1024];
  std::memset(out, 'x', sizeof out);
  out[sizeof out - 1] = 0;
  z.GetStatusString(out);
  return out;
}

class StatusThreadTest : public ::testing::Test {
 protected:
  void plug(InstrumentOptions options = {}, double framePeriodMs = 100) {
    options.manualClock = true;  // the physics stands still unless a test moves it
    instrument = std::make_shared<Instrument>(options);
    instrument->withFirmware([&](FirmwareContext& f) {
      f.state().part<sim::StatusReport>().framePeriodMs = framePeriodMs;
    });
    zyl::usb::useBackend(std::make_shared<sim::SimBackend>(instrument));
  }
  void SetUp() override { frames = 0; }
  void TearDown() override {
    if (instrument) ZylInterface().SetStatusCallback(nullptr);  // process-wide: leave none behind
    zyl::usb::useBackend(nullptr);
  }
  // Streams with the counting callback; true once two frames have come.
  bool startStream(ZylInterface& z) {
    z.SetStatusCallback(&countFrame);
    z.EnableStatusReporting(true);
    return waitFor([] { return frames >= 2; });
  }
  bool streaming() {
    return instrument->withFirmware(
        [](FirmwareContext& f) { return f.state().part<sim::StatusReport>().streaming; });
  }
  int sent(std::string_view command) {
    int n = 0;
    for (const auto& e : instrument->trace())
      if (e.endpoint == sim::kCommandOut && e.ok && e.text() == command) ++n;
    return n;
  }

  std::shared_ptr<Instrument> instrument;
};

TEST_F(StatusThreadTest, FramesFillTheRecordUntilDisabled) {
  plug();
  instrument->withFirmware([](FirmwareContext& f) {
    auto& model = f.state().part<sim::PhysicalModel>();
    model.advanceTo(f.clock().nowMs());
    model.setRunSwitch(true);
    f.clock().advance(20000);  // spun up
    model.advanceTo(f.clock().nowMs());
    model.setPressureMbar(3e-6);
    model.heater(1).temperatureC = 200;
    auto& io = f.state().part<sim::ControllerIo>();
    io.adc[7] = 0xBEEF;
    io.digitalInputs = 0x8001;
  });
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  z.SetStatusCallback(&countFrame);
  z.EnableStatusReporting(true);
  ASSERT_TRUE(waitFor([] { return frames >= 3; }));

  EXPECT_DOUBLE_EQ(z.pressureMbar, 3e-6);
  EXPECT_EQ(z.pumpSpeed, 1000);
  EXPECT_TRUE(z.pumpRunning);
  EXPECT_FLOAT_EQ(z.desolvationReadback, 200.0f);
  EXPECT_FLOAT_EQ(z.capillaryReadback, 20.0f);
  EXPECT_EQ(z.ReadADC(7), 0xBEEF);
  EXPECT_EQ(z.GetDigIn(15), 1);
  const std::string expected =
      instrument->withFirmware([](FirmwareContext& f) { return sim::statusFrame(f); });
  EXPECT_EQ(statusString(z), expected);

  z.EnableStatusReporting(false);
  EXPECT_EQ(z.statusThreadRunning, 0u);
  EXPECT_EQ(z.statusDevice, nullptr);
  EXPECT_FALSE(streaming());
  const int seen = frames;
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(frames, seen);
  EXPECT_EQ(statusString(z), std::string(1023, 'x'));  // no thread, no text

  z.EnableStatusReporting(true);  // and once more
  ASSERT_TRUE(waitFor([&] { return frames >= seen + 2; }));
  z.EnableStatusReporting(false);
}

TEST_F(StatusThreadTest, RapidSwitchingNeverLeavesAStreamOrAThreadBehind) {
  plug({}, 1);  // frames flowing fast
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  {
    ManualClock clock;  // the 100 ms polls of the stop pass at once
    for (int i = 0; i < 1000; ++i) {
      z.SetStatusCallback(i % 2 ? &countFrame : nullptr);
      z.EnableStatusReporting(true);
      if (i % 3 == 0) z.EnableStatusReporting(true);  // a second enable starts nothing more
      z.EnableStatusReporting(false);
      ASSERT_EQ(z.statusThreadRunning, 0u) << "cycle " << i;
      ASSERT_FALSE(streaming()) << "cycle " << i;
    }
  }
  z.SetStatusCallback(&countFrame);
  const int before = frames;
  z.EnableStatusReporting(true);
  EXPECT_TRUE(waitFor([&] { return frames > before + 5; }));
}

TEST_F(StatusThreadTest, UnpluggedStreamKeepsItsDeadPipeUntilReenabled) {
  plug({}, 20);
  ZylInterface z;
  ASSERT_TRUE(startStream(z));

  instrument->unplug();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  instrument->replug();
  const int atUnplug = frames;
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_LE(frames, atUnplug + 1);  // at most one frame read before the unplug was seen

  const auto start = Clock::now();
  z.EnableStatusReporting(false);
  const auto stopMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_LT(stopMs, 1100 + 300);  // one idle pause and one poll at the very most
  EXPECT_EQ(z.statusThreadRunning, 0u);

  z.EnableStatusReporting(true);
  const int reenabled = frames;
  EXPECT_TRUE(waitFor([&] { return frames >= reenabled + 3; }));
  EXPECT_EQ(z.GetCommunicationState(), CommConnected);
}

TEST_F(StatusThreadTest, FailedReadsEmptyTheTextOnlyWithoutACallback) {
  plug({}, 20);
  ZylInterface z;
  ASSERT_TRUE(startStream(z));
  const std::string last = statusString(z);
  EXPECT_EQ(last.size(), 218u);

  instrument->inject({.kind = FaultKind::FailedWrite, .endpoint = sim::kStatusIn, .times = 0});
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(statusString(z).size(), 218u);  // with a callback a failed read changes nothing

  z.SetStatusCallback(nullptr);
  EXPECT_TRUE(waitFor([&] { return statusString(z).empty(); }));
  z.EnableStatusReporting(false);
}

TEST_F(StatusThreadTest, DestructionStopsTheStream) {
  plug({}, 10);
  {
    ZylInterface z;
    ASSERT_TRUE(startStream(z));
  }
  EXPECT_FALSE(streaming());
  EXPECT_EQ(sent("-1B3100"), 1);
}

TEST_F(StatusThreadTest, OlderFirmwareHasNoStream) {
  plug({.firmwareVersion = "VERSION110812"});
  ZylInterface z;
  z.EnableStatusReporting(true);
  EXPECT_EQ(z.statusThreadRunning, 0u);
  EXPECT_EQ(sent("-1B3101"), 0);
  // Nor does V3 firmware answer the older firmware's status query.
  plug();
  ZylInterface v3;
  unsigned char reply[64];
  long length = sizeof reply;
  EXPECT_EQ(v3.ZylUSBExecuteCommand("-1B3000", reply, length, false, 1000, 1000), ZYL_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), static_cast<size_t>(length)), "NAK");
}

}  // namespace
}  // namespace zyl::test
