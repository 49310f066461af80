// Modbus over the serial passthrough: the CRC, the request frames on the wire, how replies are
// searched, and the simulated heater controllers' ASCII framing and checksum checks (RTU reads and
// writes of the heaters are HeaterE2E's part).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "peripherals/serial_sim_fixture.h"
#include "sim/modbus_line.h"
#include "support/ZylTestPeer.h"

namespace zyl::test {
namespace {

using ::testing::ElementsAre;

constexpr int kLine = 6;

TEST(ModbusCrc, CheckValuesAndOddTexts) {
  EXPECT_EQ(ZylTestPeer::calculateCRC("313233343536373839"), 0x4B37);
  EXPECT_EQ(ZylTestPeer::calculateCRC("010301920002"), 0x1A64);
  EXPECT_EQ(ZylTestPeer::calculateCRC(""), 0xFFFF);
  EXPECT_EQ(ZylTestPeer::calculateCRC(nullptr), 0xFFFF);
  // Either case; a last lone digit is a byte of its own ("12345" is 12 34 05); a pair is read as
  // far as it holds digits ("4G" is 4).
  for (auto [a, b] : {std::pair("0a0B", "0A0b"), {"12345", "123405"}, {"4G", "04"}})
    EXPECT_EQ(ZylTestPeer::calculateCRC(a), ZylTestPeer::calculateCRC(b)) << a;
  EXPECT_NE(ZylTestPeer::calculateCRC("12345"), ZylTestPeer::calculateCRC("1234"));
}

class ModbusWireTest : public ConnectedFakeTest {
 protected:
  void SetUp() override {
    FakeLinkTest::SetUp();
    // A line where nothing ever answers.
    fake->responder = [this](std::string_view c) -> std::optional<std::string> {
      if (c == "-1B05") return fake->version;
      if (c.starts_with("-1B42")) return "-1B420600";
      return "ACK";
    };
    connect();
  }
  // The data of the serial writes, as the hex text they carried.
  std::vector<std::string> frames() {
    std::vector<std::string> out;
    for (const auto& w : fake->writes())
      if (w.starts_with("-1B41")) out.push_back(w.substr(9));
    return out;
  }
};

TEST_F(ModbusWireTest, AsciiFramesCarryTheirLrc) {
  unsigned int value = 77;
  EXPECT_EQ(z->ModbusReadASCII(kLine, 1, 3, 0, &value), ZYL_SUCCESS);
  EXPECT_EQ(value, 77u) << "nothing came back: the value is left alone";
  EXPECT_EQ(z->ModbusWriteASCII(kLine, 0x11, 6, 0x0001, 0x0003), ZYL_SUCCESS);
  // Six bytes adding up to 0x100: the check is 00, and the frame keeps its 17 characters.
  EXPECT_EQ(z->ModbusReadASCII(kLine, 0xFE, 1, 0, &value), ZYL_SUCCESS);
  EXPECT_THAT(frames(), ElementsAre(hexOf(":010300000001FB\r\n"), hexOf(":110600010003E5\r\n"),
                                    hexOf(":FE010000000100\r\n")));
  // Flush, set-up, write, then the reply read; the pause between them passes on the test clock.
  EXPECT_THAT(fake->writes(), ::testing::Contains("-1B400605"));
  EXPECT_EQ(fake->writes().front(), "-1B4206");
}

TEST_F(ModbusWireTest, RtuFramesEndInTheCrcLowByteFirst) {
  unsigned int value = 0;
  EXPECT_EQ(z->ModbusReadRTU(kLine, 1, 402, &value), ZYL_COMM_FAILURE);  // no reply, no marker
  EXPECT_EQ(z->ModbusWriteRTU(kLine, 1, 2160, std::bit_cast<uint32_t>(20.0f)), ZYL_SUCCESS);
  const auto sent = frames();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], "010301920002641A");
  ASSERT_EQ(sent[1].size(), 26u);
  EXPECT_EQ(sent[1].substr(0, 22), "01100870000204000041A0");  // low word first
  const uint16_t crc = ZylTestPeer::calculateCRC("01100870000204000041A0");
  EXPECT_EQ(sent[1].substr(22), hexOf(std::string{char(crc & 0xFF), char(crc >> 8)}, true));
  // The byte counts of the write commands: 8 and 13 bytes.
  EXPECT_THAT(fake->writes(), ::testing::Contains("-1B410608" + sent[0]));
  EXPECT_THAT(fake->writes(), ::testing::Contains("-1B41060d" + sent[1]));
}

// A device on the Modbus line that answers every write with fixed bytes.
struct ScriptedDevice : sim::SerialDevice {
  std::vector<uint8_t> answer;
  int lineSetting() const override { return 5; }
  void receive(sim::FirmwareContext&, std::span<const uint8_t>, std::deque<uint8_t>& out) override {
    out.insert(out.end(), answer.begin(), answer.end());
  }
};

TEST_F(SerialSimTest, ModbusReadsTakeTheValueBehindTheFirstMarkerOnly) {
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

class HeaterControllerTest : public SerialSimTest {
 protected:
  sim::PhysicalModel::Heater heater(int i) {
    return firmware([&](sim::SerialPorts&, sim::PhysicalModel& m) { return m.heater(i); });
  }
};

TEST_F(HeaterControllerTest, AsciiRequestsAndBadChecksums) {
  // Function 6 writes one register; function 3 reads one back behind the echo.
  EXPECT_EQ(z->ModbusWriteASCII(kLine, 3, 6, 1880, 10), ZYL_SUCCESS);
  EXPECT_TRUE(heater(2).on);
  unsigned int value = 0;
  EXPECT_EQ(z->ModbusReadASCII(kLine, 3, 3, 1880, &value), ZYL_SUCCESS);
  EXPECT_EQ(value, 10u);
  // A value the on/off register does not take changes nothing; a register the controller does not
  // have brings an exception reply, so no value.
  EXPECT_EQ(z->ModbusWriteASCII(kLine, 3, 6, 1880, 11), ZYL_SUCCESS);
  EXPECT_TRUE(heater(2).on);
  EXPECT_EQ(z->ModbusReadRTU(kLine, 2, 999, &value), ZYL_COMM_FAILURE);
  EXPECT_EQ(value, 10u);

  // Frames with a wrong check value are dropped without an answer: only the echo comes back.
  char reply[64];
  long length = sizeof reply;
  EXPECT_EQ(z->SerialCommandHex(kLine, "010301920002641B", reply, length), ZYL_SUCCESS);
  EXPECT_STREQ(reply, "010301920002641B");
  length = sizeof reply;
  EXPECT_EQ(z->SerialCommandASCII(kLine, ":01060758000A91\r\n", reply, length), ZYL_SUCCESS);
  EXPECT_STREQ(reply, ":01060758000A91\r\n");
  EXPECT_EQ(firmware([](sim::SerialPorts& p, sim::PhysicalModel&) {
              return p.device<sim::ModbusLine>(kLine)->checksumErrors;
            }),
            2);
  EXPECT_FALSE(heater(0).on);
}

}  // namespace
}  // namespace zyl::test
