// Vacuum and heaters end to end through the serial passthrough; readings come back polled on
// older firmware and on the status stream on V3.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "peripherals/serial_sim_fixture.h"

namespace zyl::test {
namespace {

class VacuumE2E : public SerialSimTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    plug(GetParam());
    v3 = z->IsV3() != 0;
    if (v3) z->EnableStatusReporting(true);
  }
  void TearDown() override {
    if (z && v3) z->EnableStatusReporting(false);
    SerialSimTest::TearDown();
  }
  // Lets `ms` of simulated time pass, then waits until the library has seen the present: older
  // firmware polls once the record is stale, the V3 stream brings a frame within real time.
  bool after(double ms, const std::function<bool()>& condition) {
    advance(ms);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      clock.advance(3001);
      if (condition()) return true;
      if (v3) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (v3 && std::chrono::steady_clock::now() < deadline);
    return false;
  }
  bool vacuumReady() { return z->IsPumpSpeedOK() == 1 && z->IsPressureOK() == 1; }
  bool vacuumLost() { return z->IsPumpSpeedOK() == 0 && z->IsPressureOK() == 0; }

  bool v3 = false;
};

TEST_P(VacuumE2E, PumpDownStandbyAndVent) {
  EXPECT_TRUE(after(0, [&] { return vacuumLost(); }));

  ASSERT_EQ(z->PumpOn(), ZYL_SUCCESS);
  ASSERT_TRUE(after(30000, [&] { return vacuumReady(); }));
  EXPECT_EQ(z->IsPumpRunning(), 1);
  unsigned short speed = 0;
  double pressure = 0;
  EXPECT_EQ(z->PumpSpeed(&speed), ZYL_SUCCESS);
  EXPECT_EQ(speed, sim::PhysicalModel::kFullSpeedHz);
  EXPECT_EQ(z->PiraniPressureMBar(&pressure), ZYL_SUCCESS);
  EXPECT_LE(pressure, 0.01);

  // Standby: the rotor slows below the at-speed mark and the vacuum degrades; the drive runs on.
  ASSERT_EQ(z->PumpStandby(), ZYL_SUCCESS);
  EXPECT_TRUE(after(60000, [&] { return vacuumLost(); }));
  EXPECT_EQ(z->IsPumpRunning(), 1);

  ASSERT_EQ(z->PumpOff(), ZYL_SUCCESS);
  EXPECT_TRUE(after(120000, [&] { return vacuumLost() && z->IsPumpRunning() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(BothGenerations, VacuumE2E,
                         ::testing::Values("VERSION110812", "VERSION130904A-V3"));

}  // namespace
}  // namespace zyl::test
