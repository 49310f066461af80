// The serial passthrough and what runs over it: exact command texts against the scripted fake
// back end; reads, command exchanges, Modbus reply searching, the turbo pump and Pirani gauge
// operations and the vacuum thresholds against the simulated instrument (RTU framing is proven
// against libmodbus in ModbusPeerTest).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "peripherals/serial_sim_fixture.h"
#include "sim/pirani_gauge.h"
#include "support/zyl_test_peer.h"

namespace zyl::test {
namespace {

using ::testing::ElementsAre;

constexpr int kSpareChannel = 3;  // a port with no device behind it

constexpr int kLine = 6;  // the Modbus line

std::string pumpWrite(std::string_view text) {
  return "-1B410208" + hexOf(text);
}

using SerialWireTest = ConnectedFakeTest;

TEST_F(SerialWireTest, WritesSetThePortUpAndCarryTheBytesAsHex) {
  EXPECT_EQ(z->ZylUSBWriteSerialASCII(2, "AB"), ZYL_SUCCESS);
  EXPECT_EQ(z->ZylUSBWriteSerialHex(6, "0103"), ZYL_SUCCESS);
  // A byte of 128 or more is two digits, never a sign-extended int.
  EXPECT_EQ(z->ZylUSBWriteSerialASCII(1, "\xE9\x7F"), ZYL_SUCCESS);
  // The write command carries the channel in decimal, the set-up in hex; a hex text keeps its
  // case and an odd digit, and counts whole bytes only.
  EXPECT_EQ(z->ZylUSBWriteSerialHex(12, "0aFF1"), ZYL_SUCCESS);
  EXPECT_EQ(z->ZylUSBSetupSerial(-1), ZYL_SUCCESS);
  EXPECT_THAT(fake->writes(),
              ElementsAre("-1B400203", "-1B4102024142", "-1B400605", "-1B4106020103", "-1B400103",
                          "-1B410102e97f", "-1B400C03", "-1B4112020aFF1", "-1B40FFFFFFFF03"));
}

TEST_F(SerialWireTest, AFailedSetUpStopsTheWriteAndARefusedWriteIsNotAcknowledged) {
  fake->responder = [](std::string_view c) -> std::optional<std::string> {
    return c.starts_with("-1B40") ? "NAK" : "ACK";
  };
  EXPECT_EQ(z->ZylUSBWriteSerialASCII(2, "AB"), ZYL_COMM_FAILURE);  // 3 from the set-up becomes 2
  EXPECT_THAT(fake->writes(), ElementsAre("-1B400203"));

  fake->responder = [](std::string_view c) -> std::optional<std::string> {
    return c.starts_with("-1B41") ? "NAK" : "ACK";
  };
  EXPECT_EQ(z->ZylUSBWriteSerialHex(2, "41"), ZYL_NOT_ACKNOWLEDGED);
}

TEST_F(SerialWireTest, OverlongTextsAndEmptyBuffersAreRefusedBeforeAnythingIsSent) {
  const std::string longest(251, 'x'), tooLong(252, 'x');
  const std::string longestHex(502, 'a'), tooLongHex(503, 'a');
  char buffer[8];
  long length = 0;
  EXPECT_EQ(z->ZylUSBWriteSerialASCII(2, tooLong.c_str()), ZYL_INVALID_ARGUMENT);
  EXPECT_EQ(z->ZylUSBWriteSerialHex(2, tooLongHex.c_str()), ZYL_INVALID_ARGUMENT);
  EXPECT_EQ(z->ZylUSBWriteSerialASCII(2, nullptr), ZYL_INVALID_ARGUMENT);
  EXPECT_EQ(z->ZylUSBReadSerialASCII(2, buffer, length), ZYL_INVALID_ARGUMENT);
  length = -5;
  EXPECT_EQ(z->ZylUSBReadSerialHex(2, buffer, length), ZYL_INVALID_ARGUMENT);
  length = 8;
  EXPECT_EQ(z->ReadSerial(2, nullptr, length), ZYL_INVALID_ARGUMENT);
  EXPECT_EQ(z->SerialCommandASCII(2, tooLong.c_str(), buffer, length), ZYL_INVALID_ARGUMENT);
  EXPECT_TRUE(fake->writes().empty());

  // The longest texts fit the command: 5 + 2 + 2 + 502 characters.
  EXPECT_EQ(z->ZylUSBWriteSerialASCII(2, longest.c_str()), ZYL_SUCCESS);
  EXPECT_EQ(z->ZylUSBWriteSerialHex(2, longestHex.c_str()), ZYL_SUCCESS);
  const auto writes = fake->writes();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[1], "-1B4102fb" + hexOf(longest));
  EXPECT_EQ(writes[3], "-1B4102fb" + longestHex);
}

TEST_F(SerialWireTest, OnlyAnAvailabilityOfExactlyOneFetchesAByte) {
  // Availability values are hex numbers from offset 7, read up to the first non-hex character.
  for (const char* value : {"00", "02", "11", "X1", "0001"}) {
    const bool fetches = std::string_view(value) == "0001";
    int queries = 0;
    fake->responder = [&](std::string_view c) -> std::optional<std::string> {
      if (c.starts_with("-1B42"))
        return ++queries == 1 ? "-1B4203" + std::string(value) : "-1B420300";
      if (c.starts_with("-1B43")) return "-1B430301" + std::string("4a");
      return "ACK";
    };
    fake->clearRecord();
    EXPECT_EQ(readInto(8, [&](char* b, long& n) { return z->ZylUSBReadSerialASCII(3, b, n); }),
              ReadResult(ZYL_SUCCESS, fetches ? 1 : 0, fetches ? "J" : ""))
        << value;
    EXPECT_EQ(fake->writes().size(), fetches ? 3u : 1u) << value;
  }
}

TEST_F(SerialWireTest, ShortRepliesEndTheReadWithTheBytesSoFar) {
  // Third availability reply cut short: two bytes were read, the controller's digits as sent.
  int queries = 0;
  fake->responder = [&](std::string_view c) -> std::optional<std::string> {
    if (c.starts_with("-1B42")) return ++queries < 3 ? "-1B420301" : "-1B4203";
    if (c.starts_with("-1B43")) return "-1B430301" + std::string(queries == 1 ? "6f" : "4B");
    return "ACK";
  };
  EXPECT_EQ(readInto(8, [&](char* b, long& n) { return z->ZylUSBReadSerialHex(3, b, n); }),
            ReadResult(ZYL_COMM_FAILURE, 4, "6f4B"));
  // A fetch reply of 10 characters has no second digit: nothing of it is stored, the byte
  // before it is kept.
  int fetches = 0;
  fake->responder = [&](std::string_view c) -> std::optional<std::string> {
    if (c.starts_with("-1B42")) return "-1B420301";
    if (c.starts_with("-1B43")) return ++fetches == 1 ? "-1B4303014a" : "-1B4303014";
    return "ACK";
  };
  EXPECT_EQ(readInto(8, [&](char* b, long& n) { return z->ZylUSBReadSerialASCII(3, b, n); }),
            ReadResult(ZYL_COMM_FAILURE, 1, "J"));
}

class SerialOverSim : public SerialSimTest {
 protected:
  ReadResult read(unsigned int (ZylInterface::*op)(int, char*, long&), long capacity,
                  int channel = kSpareChannel) {
    return readInto(capacity, [&](char* b, long& n) { return ((*z).*op)(channel, b, n); });
  }
  ReadResult command(unsigned int (ZylInterface::*op)(int, const char*, char*, long&),
                     const std::string& text, int channel = -1) {
    if (channel < 0) channel = z->pumpChannel;
    return readInto(64, [&](char* b, long& n) { return ((*z).*op)(channel, text.c_str(), b, n); });
  }
  bool heaterOn() {
    return firmware([](sim::SerialPorts&, sim::PhysicalModel& m) { return m.heater(2).on; });
  }
};

TEST_F(SerialOverSim, AFullBufferLeavesTheRestWaiting) {
  queue(kSpareChannel, "0123456789");
  EXPECT_EQ(read(&ZylInterface::ReadSerial, 5), ReadResult(ZYL_SUCCESS, 4, "0123"));
  EXPECT_EQ(waiting(kSpareChannel), 6u);
  // Two exchanges per byte, and no final query once the buffer is full.
  EXPECT_EQ(sent("-1B42").size(), 4u);
  EXPECT_EQ(sent("-1B43").size(), 4u);
  // The Hex form counts bytes the same way, and needs two characters for each.
  EXPECT_EQ(
      readInto(
          5, [&](char* b, long& n) { return z->ZylUSBReadSerialHex(kSpareChannel, b, n); }, 9),
      ReadResult(ZYL_SUCCESS, 8, "34353637"));
  EXPECT_EQ(waiting(kSpareChannel), 2u);
  // Binary bytes come back whole, a zero byte included, and counted.
  queue(kSpareChannel, std::string("\0\xFF", 2));
  EXPECT_EQ(read(&ZylInterface::ZylUSBReadSerialASCII, 8),
            ReadResult(ZYL_SUCCESS, 4, std::string("89\0\xFF", 4)));
}

TEST_F(SerialOverSim, ACommandFlushesWhatWasWaitingAndReadsTheDevicesAnswer) {
  // Stale bytes on the pump's port are discarded by the flush.
  queue(z->pumpChannel, "stale\r");
  const uint64_t slept = clock.slept();
  EXPECT_EQ(command(&ZylInterface::SerialCommandASCII, "?V852\r"),
            ReadResult(ZYL_SUCCESS, 11, "V8520;0000\r"));
  EXPECT_EQ(clock.slept() - slept, 100u);
  // More than the 63 bytes the flush takes: the rest comes back ahead of the answer.
  queue(z->pumpChannel, std::string(63, '.') + "old\r");
  EXPECT_EQ(command(&ZylInterface::SerialCommandHex, hexOf("!C852 1\r")),
            ReadResult(ZYL_SUCCESS, 22, hexOf("old\rC852 1\r", true)));
  EXPECT_TRUE(firmware([](sim::SerialPorts&, sim::PhysicalModel& m) { return m.runSwitch(); }));
  // A write whose set-up is refused collapses to 2.
  instrument->inject({.kind = sim::FaultKind::NotAck, .command = "40"});
  EXPECT_EQ(std::get<0>(command(&ZylInterface::SerialCommandASCII, "?V852\r")), ZYL_COMM_FAILURE);
}

TEST(ModbusCrc, EmptyAndOddTexts) {
  EXPECT_EQ(ZylTestPeer::calculateCRC(""), 0xFFFF);
  EXPECT_EQ(ZylTestPeer::calculateCRC(nullptr), 0xFFFF);
  // Either case; a last lone digit is a byte of its own ("12345" is 12 34 05); a pair is read as
  // far as it holds digits ("4G" is 4).
  for (auto [a, b] : {std::pair("0a0B", "0A0b"), {"12345", "123405"}, {"4G", "04"}})
    EXPECT_EQ(ZylTestPeer::calculateCRC(a), ZylTestPeer::calculateCRC(b)) << a;
}

TEST_F(SerialWireTest, AsciiModbusFramesCarryTheirLrc) {
  fake->responder = [](std::string_view c) -> std::optional<std::string> {
    return c.starts_with("-1B42") ? "-1B420600" : "ACK";  // a line where nothing answers
  };
  unsigned int value = 77;
  EXPECT_EQ(z->ModbusReadASCII(kLine, 1, 3, 0, &value), ZYL_SUCCESS);
  EXPECT_EQ(value, 77u) << "nothing came back: the value is left alone";
  EXPECT_EQ(z->ModbusWriteASCII(kLine, 0x11, 6, 0x0001, 0x0003), ZYL_SUCCESS);
  // Six bytes adding up to 0x100: the check is 00, and the frame keeps its 17 characters.
  EXPECT_EQ(z->ModbusReadASCII(kLine, 0xFE, 1, 0, &value), ZYL_SUCCESS);
  std::vector<std::string> frames;  // the data of the serial writes, as the hex text they carried
  for (const auto& w : fake->writes())
    if (w.starts_with("-1B41")) frames.push_back(w.substr(9));
  EXPECT_THAT(frames, ElementsAre(hexOf(":010300000001FB\r\n"), hexOf(":110600010003E5\r\n"),
                                  hexOf(":FE010000000100\r\n")));
  // Flush, set-up, write, then the reply read; the pause between them passes on the test clock.
  EXPECT_THAT(fake->writes(), ::testing::Contains("-1B400605"));
  EXPECT_EQ(fake->writes().front(), "-1B4206");
}

// A device on the Modbus line that answers every write with fixed bytes.
struct ScriptedDevice : sim::SerialDevice {
  std::vector<uint8_t> answer;
  int lineSetting() const override { return 5; }
  void receive(sim::FirmwareContext&, std::span<const uint8_t>, std::deque<uint8_t>& out) override {
    out.insert(out.end(), answer.begin(), answer.end());
  }
};

TEST_F(SerialOverSim, ModbusReadsTakeTheValueBehindTheFirstMarkerOnly) {
  using namespace std::string_view_literals;
  struct Case {
    bool ascii;
    unsigned char address;
    std::string_view answer;
    unsigned int result, value;
  };
  const Case cases[] = {
      {false, 1, "\x01\x03\x04\x11\x11\x22\x22\x01\x03\x04\x33\x33\x44\x44"sv, 0, 0x22221111},
      {false, 1, "\x01\x03\x04\x00\x00\x41\xA0\xDE\xAD"sv, 0, 0x41A00000},  // CRC not checked
      {false, 2, "\x01\x03\x04\x11\x11\x22\x22\x00\x00"sv, 2, 5},  // another address's reply
      {false, 2, "\x02\x83\x02\xC0\xF1"sv, 2, 5},                  // an exception reply
      {false, 2, "\x02\x03\x04\x12"sv, 2, 5},  // the marker, then one byte where four belong
      {false, 2, ""sv, 2, 5},
      {true, 1, ":010300000001FB\r\n:010302ABCD80\r\n"sv, 0, 0xABCD},  // behind the echo
      {true, 1, ":010300000001FB\r\n:0103"sv, 0, 5},                   // ends before the value
  };
  auto device = std::make_shared<ScriptedDevice>();
  firmware(
      [&](sim::SerialPorts& ports, sim::PhysicalModel&) { ports.port(kLine)->device = device; });
  for (const Case& c : cases) {
    device->answer.assign(c.answer.begin(), c.answer.end());
    unsigned int value = 5;
    EXPECT_EQ(c.ascii ? z->ModbusReadASCII(kLine, c.address, 3, 0, &value)
                      : z->ModbusReadRTU(kLine, c.address, 402, &value),
              c.result)
        << c.answer;
    EXPECT_EQ(value, c.value) << c.answer;
  }
  EXPECT_EQ(z->ModbusReadASCII(kLine, 1, 3, 0, nullptr), ZYL_INVALID_ARGUMENT);
}

TEST_F(SerialOverSim, AsciiRequestsWriteAndReadARegister) {
  // Function 6 writes one register; function 3 reads one back behind the echo.
  // (Exception replies are ModbusPeerTest's and the reply table's.)
  EXPECT_EQ(z->ModbusWriteASCII(kLine, 3, 6, 1880, 10), ZYL_SUCCESS);
  EXPECT_TRUE(heaterOn());
  unsigned int value = 0;
  EXPECT_EQ(z->ModbusReadASCII(kLine, 3, 3, 1880, &value), ZYL_SUCCESS);
  EXPECT_EQ(value, 10u);
  // A value the on/off register does not take changes nothing.
  EXPECT_EQ(z->ModbusWriteASCII(kLine, 3, 6, 1880, 11), ZYL_SUCCESS);
  EXPECT_TRUE(heaterOn());
}

TEST_F(SerialOverSim, SwitchesSendTheirTextsSwitchThePumpAndStopAtAFailure) {
  auto expect = [&](unsigned int (ZylInterface::*op)(), std::vector<std::string> texts,
                    std::pair<bool, bool> runAndStandby) {
    instrument->clearTrace();
    const uint64_t slept = clock.slept();
    EXPECT_EQ(((*z).*op)(), ZYL_SUCCESS);
    EXPECT_EQ(clock.slept() - slept, 100u * texts.size());  // one pause per exchange
    for (auto& t : texts) t = pumpWrite(t);
    EXPECT_EQ(sent("-1B41"), texts);
    EXPECT_EQ(firmware([](sim::SerialPorts&, sim::PhysicalModel& m) {
                return std::pair{m.runSwitch(), m.standby()};
              }),
              runAndStandby);
    EXPECT_EQ(waiting(z->pumpChannel), 0u);  // the pump's answers were read off the port
  };
  expect(&ZylInterface::PumpOn, {"!C852 1\r", "!C869 0\r"}, {true, false});
  expect(&ZylInterface::PumpStandby, {"!C852 1\r", "!C869 1\r"}, {true, true});
  expect(&ZylInterface::PumpOff, {"!C852 0\r"}, {false, true});

  // A failed first write stops the switch; a failing flush read ends it before anything is written.
  instrument->clearTrace();
  instrument->inject({.kind = sim::FaultKind::NotAck, .command = "41"});
  EXPECT_EQ(z->PumpOn(), ZYL_COMM_FAILURE);  // 3 from the write becomes 2
  EXPECT_THAT(sent("-1B41"), ElementsAre(pumpWrite("!C852 1\r")));
  instrument->clearTrace();
  instrument->inject({.kind = sim::FaultKind::ShortReply, .command = "42"});
  EXPECT_EQ(z->PumpStandby(), ZYL_COMM_FAILURE);
  EXPECT_TRUE(sent("-1B41").empty());
}

// End to end on older firmware, whose getters poll a stale record (the V3 stream carries the same
// readings in the Python session test): the pump pumps down, standby and switching off lose the
// vacuum; a refresh that fails leaves the out arguments alone.
TEST_F(SerialOverSim, PumpDownStandbyVentAndAFailedRefresh) {
  plug("VERSION110812");
  // Speed, vacuum and drive as the getters report them `ms` later.
  auto after = [&](double ms) {
    instrument->clock().advance(ms);
    clock.advance(3001);
    return std::tuple<int, int, int>{z->IsPumpSpeedOK(), z->IsPressureOK(), z->IsPumpRunning()};
  };
  EXPECT_EQ(after(0), std::tuple(0, 0, 0));
  ASSERT_EQ(z->PumpOn(), ZYL_SUCCESS);
  EXPECT_EQ(after(30000), std::tuple(1, 1, 1));
  ASSERT_EQ(z->PumpStandby(), ZYL_SUCCESS);  // the rotor slows below the mark, the drive runs on
  EXPECT_EQ(after(60000), std::tuple(0, 0, 1));
  ASSERT_EQ(z->PumpOff(), ZYL_SUCCESS);
  EXPECT_EQ(after(120000), std::tuple(0, 0, 0));

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
}

TEST_F(SerialOverSim, GaugeSetUpSendsBothTextsAndNeverFails) {
  EXPECT_EQ(
      std::get<2>(command(&ZylInterface::SerialCommandASCII, "@254U!TORR;FF", z->gaugeChannel))
          .substr(0, 7),
      "@253ACK");
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

TEST_F(SerialOverSim, ThresholdsOfTheVacuumAndSpeedChecks) {
  // V3 firmware without a stream: the getters judge the record as it stands.
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

}  // namespace
}  // namespace zyl::test
