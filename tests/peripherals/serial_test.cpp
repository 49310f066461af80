// The serial passthrough: exact command texts against the scripted fake back end, reads and
// command exchanges against the simulated controller's ports.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "peripherals/serial_sim_fixture.h"

namespace zyl::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int kSpareChannel = 3;  // a port with no device behind it

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
  EXPECT_THAT(fake->writes(), IsEmpty());

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
  // A fetch reply of 10 characters has no second digit: nothing of it is stored.
  fake->responder = [&](std::string_view c) -> std::optional<std::string> {
    if (c.starts_with("-1B42")) return "-1B420301";
    if (c.starts_with("-1B43")) return "-1B4303014";
    return "ACK";
  };
  EXPECT_EQ(readInto(8, [&](char* b, long& n) { return z->ZylUSBReadSerialASCII(3, b, n); }),
            ReadResult(ZYL_COMM_FAILURE, 0, ""));
}

class SerialSimReadTest : public SerialSimTest {
 protected:
  ReadResult read(unsigned int (ZylInterface::*op)(int, char*, long&), long capacity,
                  int channel = kSpareChannel) {
    return readInto(capacity, [&](char* b, long& n) { return ((*z).*op)(channel, b, n); });
  }
  ReadResult command(unsigned int (ZylInterface::*op)(int, const char*, char*, long&),
                     const std::string& text) {
    return readInto(
        64, [&](char* b, long& n) { return ((*z).*op)(z->pumpChannel, text.c_str(), b, n); });
  }
};

TEST_F(SerialSimReadTest, NothingWaitingIsOneQueryAndAFullBufferLeavesTheRestWaiting) {
  EXPECT_EQ(read(&ZylInterface::ReadSerial, 5), ReadResult(ZYL_SUCCESS, 0, ""));
  EXPECT_THAT(sent("-1B4"), ElementsAre("-1B4203"));

  instrument->clearTrace();
  queue(kSpareChannel, "0123456789");
  EXPECT_EQ(read(&ZylInterface::ZylUSBReadSerialASCII, 5), ReadResult(ZYL_SUCCESS, 4, "0123"));
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

TEST_F(SerialSimReadTest, AFailureHalfWayKeepsTheBytesAlreadyRead) {
  queue(kSpareChannel, "abcdef");
  instrument->inject({.kind = sim::FaultKind::ShortReply, .command = "43", .nth = 3});
  EXPECT_EQ(read(&ZylInterface::ZylUSBReadSerialASCII, 16), ReadResult(ZYL_COMM_FAILURE, 2, "ab"));
  // A write that fails outright at the fourth availability query.
  instrument->inject({.kind = sim::FaultKind::FailedWrite, .command = "42", .nth = 4});
  EXPECT_EQ(read(&ZylInterface::ZylUSBReadSerialHex, 16),
            ReadResult(ZYL_COMM_FAILURE, 6, "646566"));
}

TEST_F(SerialSimReadTest, ACommandFlushesWhatWasWaitingAndReadsTheDevicesAnswer) {
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

}  // namespace
}  // namespace zyl::test
