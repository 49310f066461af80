// The status record against the simulated instrument, polled and streamed; the stream's thread
// under rapid switching, unplugging, failed reads and destruction.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <tuple>

#include "sim/controller_io.h"
#include "sim/physics.h"
#include "sim/status_report.h"
#include "support/manual_clock.h"
#include "support/sim_fixture.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

using sim::FirmwareContext;
using std::chrono::milliseconds;

std::string statusString(ZylInterface& z) {
  std::string out(1023, 'x');
  z.GetStatusString(out.data());  // fills at most 1024 bytes with its terminator
  return out.c_str();
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
  void TearDown() override {
    if (instrument) ZylInterface().SetStatusCallback(nullptr);  // process-wide: leave none behind
    SimTest::TearDown();
  }
  // Streams with the counting callback; true once `n` more frames have come.
  bool startStream(ZylInterface& z, int n = 2) {
    const int before = frames;
    z.SetStatusCallback(&countFrame);
    z.EnableStatusReporting(true);
    return waitFor([&] { return frames >= before + n; });
  }
  bool streaming() {
    return firmware(
        [](FirmwareContext& f) { return f.state().part<sim::StatusReport>().streaming; });
  }
};

// A pump spun up and then in standby, a pressure, three heater temperatures, some readings reach
// the record: polled on older firmware (one heater's readback per reply), streamed on V3 (frames
// carry whole degrees; failed reads keep the text only while there is a callback).
TEST_F(StatusSimTest, RecordFollowsTheInstrumentOnBothGenerations) {
  for (const char* version : {"VERSION110812", "VERSION130904A-V3"}) {
    SCOPED_TRACE(version);
    plug(version);
    const bool v3 = version[13] == 'A';
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
      f.state().part<sim::ControllerIo>().adc[10] = 0x0ABC;
      f.state().part<sim::ControllerIo>().digitalInputs = 0x4000;
      f.state().part<sim::StatusReport>().heaterRecords = true;
    });
    ManualClock clock;
    ZylInterface z;
    ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
    EXPECT_EQ(z.GetDigOut(34), v3 ? 0 : 1);  // older firmware: from the pump state at start
    // The simulator's configuration puts Watlow controllers on all three heaters.
    ASSERT_TRUE(z.heaterReadbacksInStatus);
    instrument->clearTrace();
    if (v3) {
      ASSERT_TRUE(startStream(z, 3));
      EXPECT_EQ(statusString(z), firmware([](FirmwareContext& f) { return sim::statusFrame(f); }));
      // With a callback a failed read changes nothing; without one it empties the text.
      instrument->inject(
          {.kind = sim::FaultKind::FailedWrite, .endpoint = sim::kStatusIn, .times = 0});
      std::this_thread::sleep_for(milliseconds(150));
      EXPECT_EQ(statusString(z).size(), 218u);
      z.SetStatusCallback(nullptr);
      EXPECT_TRUE(waitFor([&] { return statusString(z).empty(); }));
    } else {
      for (int i = 0; i < 3; ++i, clock.advance(3001))
        ASSERT_EQ(z.ForceStatusUpdate(), ZYL_SUCCESS);
      z.EnableStatusReporting(true);  // older firmware has no stream: nothing sent, no thread
      EXPECT_EQ(z.statusThreadRunning, 0u);
      EXPECT_EQ(sent("-1B3101"), 0);
    }
    EXPECT_DOUBLE_EQ(z.pressureMbar, 4.2e-5);
    EXPECT_EQ(std::tuple(z.ReadADC(10), z.GetDigIn(14), z.pumpSpeed.load(), z.pumpRunning.load()),
              std::tuple(0x0ABC, 1, 660, true));  // standby speed
    EXPECT_EQ(
        std::tuple(z.capillaryReadback.load(), z.desolvationReadback.load(), z.apciReadback.load()),
        v3 ? std::tuple(152.0f, 180.0f, 99.0f) : std::tuple(151.5f, 180.25f, 99.0f));
    z.EnableStatusReporting(false);
    EXPECT_EQ(z.statusThreadRunning, 0u);
    EXPECT_EQ(z.statusDevice, nullptr);
    EXPECT_FALSE(streaming());
    EXPECT_EQ(statusString(z), std::string(1023, 'x'));  // no thread, no text
  }
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

}  // namespace
}  // namespace zyl::test
