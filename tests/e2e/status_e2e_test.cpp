// Status and I/O end to end against the simulated instrument: the older firmware's polled status
// carries the live physics and the controller's readings, and what the host switches arrives in
// the controller's state, on both generations.
#include <gtest/gtest.h>

#include "sim/controller_io.h"
#include "sim/physics.h"
#include "sim/status_report.h"
#include "support/ManualClock.h"
#include "zyl/ZylInterface.h"
#include "zyl/sim/SimBackend.h"

namespace zyl::test {
namespace {

using sim::ControllerIo;
using sim::FirmwareContext;
using sim::Instrument;
using sim::InstrumentOptions;

class StatusE2E : public ::testing::Test {
 protected:
  void plug(const char* version) {
    instrument = std::make_shared<Instrument>(
        InstrumentOptions{.firmwareVersion = version, .manualClock = true});
    zyl::usb::useBackend(std::make_shared<sim::SimBackend>(instrument));
  }
  void TearDown() override { zyl::usb::useBackend(nullptr); }
  ControllerIo io() {
    return instrument->withFirmware(
        [](FirmwareContext& f) { return f.state().part<ControllerIo>(); });
  }

  ManualClock clock;
  std::shared_ptr<Instrument> instrument;
};

TEST_F(StatusE2E, PolledStatusFollowsTheInstrument) {
  plug("VERSION110812");
  instrument->withFirmware([](FirmwareContext& f) {
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
    auto& io = f.state().part<ControllerIo>();
    io.adc[10] = 0x0ABC;
    io.digitalInputs = 0x4000;
    f.state().part<sim::StatusReport>().heaterRecords = true;
  });
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  EXPECT_EQ(z.GetDigOut(34), 1);  // set from the pump state at initialisation
  EXPECT_EQ(z.ReadADC(10), 0x0ABC);
  EXPECT_EQ(z.GetDigIn(14), 1);
  EXPECT_DOUBLE_EQ(z.pressureMbar, 4.2e-5);
  EXPECT_EQ(z.pumpSpeed, 660);  // standby speed
  EXPECT_TRUE(z.pumpRunning);

  // Each status carries one heater's readback; three refreshes bring all three.
  z.heaterReadbacksInStatus = true;
  for (int i = 0; i < 3; ++i) {
    clock.advance(3001);
    ASSERT_EQ(z.UpdateStatusIfNeeded(), ZYL_SUCCESS);
  }
  EXPECT_FLOAT_EQ(z.capillaryReadback, 151.5f);
  EXPECT_FLOAT_EQ(z.desolvationReadback, 180.25f);
  EXPECT_FLOAT_EQ(z.apciReadback, 99.0f);
}

TEST_F(StatusE2E, OutputsAnalogAndI2cReachTheController) {
  for (const char* version : {"VERSION130904A-V3", "VERSION110812"}) {
    SCOPED_TRACE(version);
    plug(version);
    ZylInterface z;
    ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
    const uint64_t writes = io().outputWrites;
    EXPECT_EQ(io().outputLines, ~z.digitalOutputs);  // sent at initialisation

    ASSERT_EQ(z.SetDigOut(14, 1), ZYL_SUCCESS);
    ASSERT_EQ(z.SetDigOut(30, 1, 0), ZYL_SUCCESS);
    EXPECT_EQ(io().outputWrites, writes + 1);
    ASSERT_EQ(z.SetDigOut(63, 1), ZYL_SUCCESS);
    EXPECT_EQ(io().outputLines, ~z.digitalOutputs);
    EXPECT_EQ(io().outputWrites, writes + 2);

    ASSERT_EQ(z.SetAnalogOutput(2, 0xBEEF, 3), ZYL_SUCCESS);
    ASSERT_EQ(z.ConfigureAnalogInput(4, 1), ZYL_SUCCESS);
    ASSERT_EQ(z.SetI2C(0x50, 0x01, 0xFE), ZYL_SUCCESS);
    const ControllerIo state = io();
    ASSERT_EQ(state.analogOutputs.count(3), 1u);  // the controller counts from 1
    EXPECT_EQ(state.analogOutputs.at(3).mode, 3);
    EXPECT_EQ(state.analogOutputs.at(3).value, 0xBEEF);
    EXPECT_EQ(state.analogInputSettings.at(4), 1);
    EXPECT_EQ(state.i2c, (std::array<uint8_t, 3>{0x50, 0x01, 0xFE}));
    // A channel the controller has no field for is refused.
    EXPECT_EQ(z.SetAnalogOutput(12, 1, 0), ZYL_NOT_ACKNOWLEDGED);
  }
}

}  // namespace
}  // namespace zyl::test
