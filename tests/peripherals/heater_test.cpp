// Heaters against the simulated instrument: the interlock on a test clock, the controller kind
// of each heater in mixed configurations, where readbacks come from, and the Modbus poll limit.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "peripherals/serial_sim_fixture.h"
#include "support/zyl_test_peer.h"
#include "zyl/FlashMemory.h"

namespace zyl::test {
namespace {

struct HeaterOps {
  unsigned int (ZylInterface::*setOn)(unsigned char);
  unsigned char (ZylInterface::*getOn)();
  unsigned int (ZylInterface::*setTemp)(float);
};
const HeaterOps kHeaters[] = {
    {&ZylInterface::SetCapillaryHeaterOn, &ZylInterface::GetCapillaryHeaterOn,
     &ZylInterface::SetCapillaryHeaterTemp},
    {&ZylInterface::SetDesolvationHeaterOn, &ZylInterface::GetDesolvationHeaterOn,
     &ZylInterface::SetDesolvationHeaterTemp},
    {&ZylInterface::SetAPCIHeaterOn, &ZylInterface::GetAPCIHeaterOn,
     &ZylInterface::SetAPCIHeaterTemp},
};

class HeaterTest : public SerialSimTest {
 protected:
  void kinds(const wchar_t* capillary, const wchar_t* desolvation, const wchar_t* apci) {
    z->flashRecord->set_capillaryHeater(capillary);
    z->flashRecord->set_desolvationGasHeater(desolvation);
    z->flashRecord->set_apciGasHeater(apci);
  }
  // The simulated heater; the firmware runs only on this thread while the stream is off.
  sim::PhysicalModel::Heater& physical(int index) {
    return *firmware([&](sim::SerialPorts&, sim::PhysicalModel& m) { return &m.heater(index); });
  }
};

TEST_F(HeaterTest, InterlockAroundNinetyPercentAndFortyFourSeconds) {
  z->heaterReadbacksInStatus = true;  // the capillary reading is whatever the test puts there
  struct Case {
    float readback;
    int64_t heatingSeconds;
    unsigned int expected;
  } cases[] = {{150, 20, ZYL_HEATER_INTERLOCK},
               {179.9f, 43, ZYL_HEATER_INTERLOCK},
               {180, 20, ZYL_SUCCESS} /* exactly 0.9 x 200 */,
               {150, 44, ZYL_SUCCESS},
               {150, -1, ZYL_HEATER_INTERLOCK}};
  for (const Case& c : cases) {
    for (const HeaterOps* gas : {&kHeaters[1], &kHeaters[2]}) {
      SCOPED_TRACE(testing::Message() << c.readback << " " << c.heatingSeconds);
      ASSERT_EQ(z->SetCapillaryHeaterTemp(200), ZYL_SUCCESS);
      ASSERT_EQ(z->SetCapillaryHeaterOn(1), ZYL_SUCCESS);
      z->capillaryHeatStartTime = clock.calendarSeconds() - c.heatingSeconds;
      z->capillaryReadback = c.readback;
      EXPECT_EQ((*z.*gas->setOn)(1), c.expected);
      EXPECT_EQ((*z.*gas->getOn)(), c.expected == ZYL_SUCCESS ? 1 : 0);
      EXPECT_EQ((*z.*gas->setOn)(0), ZYL_SUCCESS);  // switching off is always allowed
      ASSERT_EQ(z->SetCapillaryHeaterOn(0), ZYL_SUCCESS);
      EXPECT_EQ((*z.*gas->setOn)(1), ZYL_SUCCESS);  // nothing is refused with the capillary off
      EXPECT_EQ((*z.*gas->setOn)(0), ZYL_SUCCESS);
    }
  }
  // A raised set-point restarts the heat-up period; a lowered or equal one, or switching on again
  // while on, does not.
  ASSERT_EQ(z->SetCapillaryHeaterOn(1), ZYL_SUCCESS);
  const int64_t started = z->capillaryHeatStartTime;
  clock.advance(30000);
  z->SetCapillaryHeaterTemp(150);
  z->SetCapillaryHeaterTemp(150);
  z->SetCapillaryHeaterOn(1);
  EXPECT_EQ(z->capillaryHeatStartTime, started);
  z->SetCapillaryHeaterTemp(250);
  EXPECT_EQ(z->capillaryHeatStartTime, clock.calendarSeconds());
}

TEST_F(HeaterTest, EachHeaterFollowsItsOwnControllerKind) {
  struct Config {
    const wchar_t* kinds[3];
    bool board[3];
  } configs[] = {
      {{L"Digital Board Built-In", L"", L"Watlow PM3 Series"}, {true, false, false}},
      {{L"Unknown", L"digital board built-in", L"no such controller"}, {false, true, false}},
      {{L"WATLOW PM3 SERIES", L"Digital Board", L"DIGITAL BOARD BUILT-IN"}, {false, false, true}},
  };
  float setpoint = 150;
  for (const Config& config : configs) {
    kinds(config.kinds[0], config.kinds[1], config.kinds[2]);
    for (int h = 0; h < 3; ++h) {
      SCOPED_TRACE(testing::Message() << "heater " << h + 1 << " board " << config.board[h]);
      setpoint += 1;  // new to the controller every time
      char on[16], off[16];
      std::snprintf(on, sizeof on, "-1B320%d00%04x", h + 1, static_cast<int>(setpoint));
      std::snprintf(off, sizeof off, "-1B320%d000000", h + 1);
      instrument->clearTrace();
      // Given while off: a board heater keeps it for the switch-on, a controller takes it now.
      EXPECT_EQ((*z.*kHeaters[h].setTemp)(setpoint), ZYL_SUCCESS);
      EXPECT_TRUE(sent("-1B32").empty());
      EXPECT_EQ(physical(h).setpointC == setpoint, !config.board[h]);
      physical(h).setpointC = 42;  // a switch-on resends it to gas heaters' controllers only
      EXPECT_EQ((*z.*kHeaters[h].setOn)(1), ZYL_SUCCESS);
      EXPECT_TRUE(physical(h).on);
      EXPECT_EQ(physical(h).setpointC, config.board[h] || h > 0 ? setpoint : 42);
      EXPECT_EQ((*z.*kHeaters[h].setOn)(0), ZYL_SUCCESS);
      EXPECT_FALSE(physical(h).on);
      const std::vector<std::string> board{on, off};
      EXPECT_EQ(sent("-1B32"), config.board[h] ? board : std::vector<std::string>{});
      EXPECT_EQ(sent("-1B41").empty(), config.board[h]);
    }
  }
  // Given while disconnected: stored, and sent with the next switch-on.
  instrument->unplug();
  ASSERT_NE(z->TestConnection(), CommConnected);
  EXPECT_EQ((std::tuple{z->SetAPCIHeaterTemp(120), z->SetAPCIHeaterOn(1)}),
            std::tuple(ZYL_COMM_FAILURE, ZYL_COMM_FAILURE));
  EXPECT_EQ((std::tuple<int, float>(z->GetAPCIHeaterOn(), z->GetAPCIHeaterTemp())),
            std::tuple(1, 0.0f));
  instrument->replug();
  ASSERT_EQ(z->TestConnection(), CommConnected);
  instrument->clearTrace();
  EXPECT_EQ(z->SetAPCIHeaterOn(1), ZYL_SUCCESS);
  EXPECT_EQ(sent("-1B32"), std::vector<std::string>{"-1B3203000078"});
}

TEST_F(HeaterTest, ReadbackComesFromWhereTheFirmwareKeepsIt) {
  struct Case {
    bool v3, inStatus, board;
    float expected;  // 55: the readback field; 123: asked now
    bool stored;
  } cases[] = {{true, false, true, 55, false},
               {false, true, true, 123, false},
               {true, true, false, 55, false},
               {true, false, false, 123, true},
               {false, false, false, 123, true}};
  physical(2).temperatureC = 123;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.v3 << c.inStatus << c.board);
    kinds(L"", L"", c.board ? L"Digital Board Built-In" : L"Watlow PM3 Series");
    z->firmwareV3 = c.v3;
    z->heaterReadbacksInStatus = c.inStatus;
    z->apciReadback = 55;
    clock.advance(2001);
    EXPECT_EQ(z->GetAPCIHeaterTemp(), c.expected);
    EXPECT_EQ(z->apciReadback.load(), c.stored ? 123 : 55);
  }
}

TEST_F(HeaterTest, ModbusPollsAtMostEveryTwoSecondsAndKeepsTheLastGoodReading) {
  z->heaterReadbacksInStatus = false;
  clock.advance(2001);
  physical(0).temperatureC = 100;
  EXPECT_EQ(z->GetCapillaryHeaterTemp(), 100.0f);
  physical(0).temperatureC = 110;
  instrument->clearTrace();
  clock.advance(2000);  // due only once the clock is past the poll time
  EXPECT_EQ(z->GetCapillaryHeaterTemp(), 100.0f);
  EXPECT_TRUE(sent("-1B41").empty());
  clock.advance(1);
  EXPECT_EQ(z->GetCapillaryHeaterTemp(), 110.0f);
  // The controller goes silent: the poll fails and the last good reading stays.
  firmware([](sim::SerialPorts& ports, sim::PhysicalModel&) { ports.port(6)->device.reset(); });
  instrument->clearTrace();
  clock.advance(2001);
  EXPECT_EQ(z->GetCapillaryHeaterTemp(), 110.0f);
  EXPECT_FALSE(sent("-1B41").empty());
}

TEST(HeaterConversions, RawReadingsAndSettings) {
  EXPECT_EQ(ZylTestPeer::userTempFromRaw(8256), 20.0f);
  EXPECT_EQ(ZylTestPeer::userTempFromRaw(10772), 300.0f);
  EXPECT_LT(ZylTestPeer::userTempFromRaw(0), 0.0f);  // the difference may be negative
  EXPECT_EQ(ZylTestPeer::rawFromUserTemp(20.0f), 819);
  EXPECT_EQ(ZylTestPeer::rawFromUserTemp(488.0f), 32768);
  EXPECT_EQ(ZylTestPeer::rawFromUserTemp(-100.0f), 0);
  EXPECT_EQ(ZylTestPeer::rawFromUserTemp(1e9f), 65535);
}

}  // namespace
}  // namespace zyl::test
