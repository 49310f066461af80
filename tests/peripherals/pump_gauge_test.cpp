// The turbo pump and Pirani gauge operations against the simulated devices: the texts they send,
// what a failing passthrough does, and the vacuum-ready thresholds of the getters.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "peripherals/serial_sim_fixture.h"
#include "sim/pirani_gauge.h"

namespace zyl::test {
namespace {

using ::testing::ElementsAre;

std::string pumpWrite(std::string_view text) {
  return "-1B410208" + hexOf(text);
}

class PumpGaugeTest : public SerialSimTest {
 protected:
  std::pair<bool, bool> switches() {
    return firmware([](sim::SerialPorts&, sim::PhysicalModel& m) {
      return std::pair{m.runSwitch(), m.standby()};
    });
  }
};

TEST_F(PumpGaugeTest, SwitchesSendTheirTextsAndSwitchThePump) {
  auto expect = [&](unsigned int (ZylInterface::*op)(), std::vector<std::string> texts,
                    std::pair<bool, bool> runAndStandby) {
    instrument->clearTrace();
    const uint64_t slept = clock.slept();
    EXPECT_EQ(((*z).*op)(), ZYL_SUCCESS);
    EXPECT_EQ(clock.slept() - slept, 100u * texts.size());  // one pause per exchange
    for (auto& t : texts) t = pumpWrite(t);
    EXPECT_EQ(sent("-1B41"), texts);
    EXPECT_EQ(switches(), runAndStandby);
    EXPECT_EQ(waiting(z->pumpChannel), 0u);  // the pump's answers were read off the port
  };
  expect(&ZylInterface::PumpOn, {"!C852 1\r", "!C869 0\r"}, {true, false});
  expect(&ZylInterface::PumpStandby, {"!C852 1\r", "!C869 1\r"}, {true, true});
  expect(&ZylInterface::PumpOff, {"!C852 0\r"}, {false, true});
}

TEST_F(PumpGaugeTest, AFailedFirstWriteStopsTheSwitch) {
  instrument->inject({.kind = sim::FaultKind::NotAck, .command = "41"});
  EXPECT_EQ(z->PumpOn(), ZYL_COMM_FAILURE);  // 3 from the write becomes 2
  EXPECT_THAT(sent("-1B41"), ElementsAre(pumpWrite("!C852 1\r")));

  // A failing flush read ends it before anything is written.
  instrument->clearTrace();
  instrument->inject({.kind = sim::FaultKind::ShortReply, .command = "42"});
  EXPECT_EQ(z->PumpStandby(), ZYL_COMM_FAILURE);
  EXPECT_TRUE(sent("-1B41").empty());
}

TEST_F(PumpGaugeTest, GaugeSetUpSendsBothTextsAndNeverFails) {
  char reply[64];
  long length = sizeof reply;
  ASSERT_EQ(z->SerialCommandASCII(z->gaugeChannel, "@254U!TORR;FF", reply, length), ZYL_SUCCESS);
  EXPECT_EQ(std::string_view(reply).substr(0, 7), "@253ACK");
  instrument->clearTrace();

  const uint64_t slept = clock.slept();
  EXPECT_EQ(z->PiraniSetup(), ZYL_SUCCESS);
  EXPECT_THAT(sent("-1B41"), ElementsAre("-1B41010e" + hexOf("@254BR!9600;FF"),
                                         "-1B41010d" + hexOf("@254U!MBAR;FF")));
  EXPECT_EQ(clock.slept() - slept, 10u);
  EXPECT_EQ(firmware([&](sim::SerialPorts& p, sim::PhysicalModel&) {
              return p.device<sim::PiraniGauge>(z->gaugeChannel)->unit();
            }),
            sim::PiraniGauge::Unit::Mbar);
  EXPECT_EQ(waiting(z->gaugeChannel), 0u) << "the answer to the last text was read";

  instrument->inject({.kind = sim::FaultKind::FailedWrite, .command = "*", .times = 0});
  EXPECT_EQ(z->PiraniSetup(), ZYL_SUCCESS);
}

TEST_F(PumpGaugeTest, ThresholdsOfTheVacuumAndSpeedChecks) {
  // V3 firmware without a stream: the getters judge the record as it stands.
  EXPECT_EQ(z->IsPressureOK(), 0);
  EXPECT_EQ(z->IsPumpSpeedOK(), 0);
  EXPECT_EQ(z->IsPumpRunning(), 0);
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  for (auto [mbar, ok] : {std::pair(0.01, 1), {0.0100001, 0}, {0.0, 1}, {99.0, 0}, {kNaN, 0}}) {
    z->pressureMbar = mbar;
    EXPECT_EQ(z->IsPressureOK(), ok) << mbar;
  }
  // The speed is judged on its low 16 bits, as PumpSpeed hands it out.
  for (auto [hz, ok] :
       {std::pair(899, 0), {900, 1}, {0x10000 + 899, 0}, {0x10000 + 900, 1}, {-1, 1}}) {
    z->pumpSpeed = hz;
    EXPECT_EQ(z->IsPumpSpeedOK(), ok) << hz;
    unsigned short speed = 0;
    EXPECT_EQ(z->PumpSpeed(&speed), ZYL_SUCCESS);
    EXPECT_EQ(speed, static_cast<unsigned short>(hz & 0xFFFF));
  }
  EXPECT_EQ(z->PumpSpeed(nullptr), ZYL_SUCCESS);
  EXPECT_TRUE(sent("-1B30").empty()) << "V3 getters never poll";
}

TEST_F(PumpGaugeTest, AFailedRefreshLeavesTheOutArgumentsAlone) {
  plug("VERSION110812");
  clock.advance(10000);  // the record is old: the next getter asks
  instrument->inject({.kind = sim::FaultKind::FailedWrite, .command = "30"});
  unsigned short speed = 4321;
  EXPECT_EQ(z->PumpSpeed(&speed), ZYL_COMM_FAILURE);
  EXPECT_EQ(speed, 4321);

  clock.advance(10000);
  instrument->inject({.kind = sim::FaultKind::FailedWrite, .command = "30"});
  double pressure = -1;
  EXPECT_EQ(z->PiraniPressureMBar(&pressure), ZYL_COMM_FAILURE);
  EXPECT_EQ(pressure, -1);

  // With the instrument answering again, the vented chamber reads back from the gauge.
  clock.advance(10000);
  EXPECT_EQ(z->PiraniPressureMBar(&pressure), ZYL_SUCCESS);
  EXPECT_NEAR(pressure, sim::PhysicalModel::kVentPressureMbar, 1e-9);
}

TEST_F(PumpGaugeTest, OneHeliumFactorForTheWholeProcess) {
  ZylInterface& a = *z;
  ZylInterface b;
  EXPECT_EQ(a.GetUsingHelium(), 0);
  EXPECT_EQ(a.SetUsingHelium(true), ZYL_SUCCESS);
  EXPECT_EQ(b.GetUsingHelium(), 1);
  EXPECT_EQ(b.SetUsingHelium(false), ZYL_SUCCESS);
  EXPECT_EQ(a.GetUsingHelium(), 0);
}

}  // namespace
}  // namespace zyl::test
