// The status record against the simulated instrument: the older firmware's polled status and the
// V3 status stream carry the live physics and the controller's readings; the stream's thread under
// rapid switching, unplugging, failed reads and destruction.
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
#include "support/SimFixture.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

using sim::FaultKind;
using sim::FirmwareContext;
using Clock = std::chrono::steady_clock;

std::atomic<int> frames{0};
void countFrame() {
  ++frames;
}

bool waitFor(const std::function<bool()>& done) {
  const auto until = Clock::now() + std::chrono::seconds(5);
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

class StatusSimTest : public SimTest {
 protected:
  // The physics stands still unless a test moves it; frames come every `framePeriodMs` while
  // the stream is on.
  void plug(const char* version = "VERSION130904A-V3", double framePeriodMs = 100) {
    SimTest::plug({.firmwareVersion = version, .manualClock = true});
    firmware([&](FirmwareContext& f) {
      f.state().part<sim::StatusReport>().framePeriodMs = framePeriodMs;
    });
  }
  void SetUp() override { frames = 0; }
  void TearDown() override {
    if (instrument) ZylInterface().SetStatusCallback(nullptr);  // process-wide: leave none behind
    SimTest::TearDown();
  }
  // Streams with the counting callback; true once two frames have come.
  bool startStream(ZylInterface& z) {
    z.SetStatusCallback(&countFrame);
    z.EnableStatusReporting(true);
    return waitFor([] { return frames >= 2; });
  }
  bool streaming() {
    return firmware(
        [](FirmwareContext& f) { return f.state().part<sim::StatusReport>().streaming; });
  }
  // A pump spun up and then in standby, a pressure, three heater temperatures, some readings.
  void setUpInstrument() {
    firmware([](FirmwareContext& f) {
      auto& model = f.state().part<sim::PhysicalModel>();
      model.advanceTo(f.clock().nowMs());
      model.setRunSwitch(true);
      model.setStandby(true);
      f.clock().advance(30000);
      model.advanceTo(f.clock().nowMs());
      model.setPressureMbar(4.2e-5);
      model.heater(0).temperatureC = 151.5;
      model.heater(1).temperatureC = 180.25;
      model.heater(2).temperatureC = 99.0;
      auto& io = f.state().part<sim::ControllerIo>();
      io.adc[10] = 0x0ABC;
      io.digitalInputs = 0x4000;
      f.state().part<sim::StatusReport>().heaterRecords = true;
    });
  }
  void expectRecord(ZylInterface& z, float capillary, float desolvation) {
    EXPECT_EQ(z.ReadADC(10), 0x0ABC);
    EXPECT_EQ(z.GetDigIn(14), 1);
    EXPECT_DOUBLE_EQ(z.pressureMbar, 4.2e-5);
    EXPECT_EQ(z.pumpSpeed, 660);  // standby speed
    EXPECT_TRUE(z.pumpRunning);
    EXPECT_FLOAT_EQ(z.capillaryReadback, capillary);
    EXPECT_FLOAT_EQ(z.desolvationReadback, desolvation);
    EXPECT_FLOAT_EQ(z.apciReadback, 99.0f);
  }
};

TEST_F(StatusSimTest, PolledStatusFollowsTheInstrument) {
  plug("VERSION110812");
  setUpInstrument();
  ManualClock clock;
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  EXPECT_EQ(z.GetDigOut(34), 1);  // set from the pump state at initialisation
  // Each status carries one heater's readback; three refreshes bring all three.
  z.heaterReadbacksInStatus = true;
  for (int i = 0; i < 3; ++i) {
    clock.advance(3001);
    ASSERT_EQ(z.UpdateStatusIfNeeded(), ZYL_SUCCESS);
  }
  expectRecord(z, 151.5f, 180.25f);

  // Older firmware has no stream: enabling it sends nothing and starts no thread.
  instrument->clearTrace();
  z.EnableStatusReporting(true);
  EXPECT_EQ(z.statusThreadRunning, 0u);
  EXPECT_TRUE(instrument->trace().empty());
}

TEST_F(StatusSimTest, FramesFillTheRecordUntilDisabled) {
  plug();
  setUpInstrument();
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  z.SetStatusCallback(&countFrame);
  z.EnableStatusReporting(true);
  ASSERT_TRUE(waitFor([] { return frames >= 3; }));
  expectRecord(z, 152.0f, 180.0f);  // frames carry whole degrees
  EXPECT_EQ(statusString(z), firmware([](FirmwareContext& f) { return sim::statusFrame(f); }));

  z.EnableStatusReporting(false);
  EXPECT_EQ(z.statusThreadRunning, 0u);
  EXPECT_EQ(z.statusDevice, nullptr);
  EXPECT_FALSE(streaming());
  EXPECT_EQ(statusString(z), std::string(1023, 'x'));  // no thread, no text
}

TEST_F(StatusSimTest, RapidSwitchingAndDestructionNeverLeaveAStreamOrAThreadBehind) {
  plug("VERSION130904A-V3", 1);  // frames flowing fast
  {
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
    instrument->clearTrace();
    EXPECT_TRUE(startStream(z));
  }
  EXPECT_FALSE(streaming()) << "destruction stops the stream";
  EXPECT_EQ(sent("-1B3100"), 1);
}

TEST_F(StatusSimTest, UnpluggedStreamKeepsItsDeadPipeUntilReenabled) {
  plug("VERSION130904A-V3", 20);
  ZylInterface z;
  ASSERT_TRUE(startStream(z));

  instrument->unplug();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  instrument->replug();
  const int atUnplug = frames;
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_LE(frames, atUnplug + 1);  // at most one frame read before the unplug was seen

  z.EnableStatusReporting(false);
  EXPECT_EQ(z.statusThreadRunning, 0u);
  z.EnableStatusReporting(true);
  const int reenabled = frames;
  EXPECT_TRUE(waitFor([&] { return frames >= reenabled + 3; }));
  EXPECT_EQ(z.GetCommunicationState(), CommConnected);
}

TEST_F(StatusSimTest, FailedReadsEmptyTheTextOnlyWithoutACallback) {
  plug("VERSION130904A-V3", 20);
  ZylInterface z;
  ASSERT_TRUE(startStream(z));
  EXPECT_EQ(statusString(z).size(), 218u);

  instrument->inject({.kind = FaultKind::FailedWrite, .endpoint = sim::kStatusIn, .times = 0});
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(statusString(z).size(), 218u);  // with a callback a failed read changes nothing

  z.SetStatusCallback(nullptr);
  EXPECT_TRUE(waitFor([&] { return statusString(z).empty(); }));
  z.EnableStatusReporting(false);
}

}  // namespace
}  // namespace zyl::test
