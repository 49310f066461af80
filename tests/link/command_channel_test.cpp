// The command channel against the fake back end: bytes on the wire, status codes, state, pipes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "link/usb/CyUSB.h"
#include "link/wire.h"
#include "support/link_fixture.h"
#include "support/zyl_test_peer.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

class CommandChannelTest : public FakeLinkTest {
 protected:
  unsigned int exec(ZylInterface& z) {
    long dummy = 0;
    return z.ZylUSBExecuteCommand("-1B3101", nullptr, dummy, true, 10000, 10000);
  }
};

TEST_F(CommandChannelTest, ConnectionSendsFlushVersionModelAndOutputs) {
  ZylInterface z;
  EXPECT_EQ(z.GetCommunicationState(), CommInitialized);
  // Vendor request 4 (10 s) before anything is written; the flush reads with 5 ms, the version
  // query with 2000 ms; then the configuration (region 0 read, frequency factor, gauge; region 1
  // read and, as it holds no volatile document, written), the model query and the outputs with
  // bit 26 of the low word.
  EXPECT_THAT(fake->writes(),
              ElementsAre("-1B05", "-1B05", "-1B6300", "-1B61", "-1B2200015000", "-1B0600",
                          "-1B6301", "-1B61", "-1B6301", "-1B60",
                          StartsWith("-1B62<volatileFlashMemory><lastPumpDownTime>0<"), "-1B07",
                          "-1B21fffffffa0bfff370"));
  const FakeTransfer first = fake->transfers().front();
  EXPECT_EQ(std::tuple(first.endpoint, first.bytes, first.timeoutMs),
            std::tuple(0, std::string(1, '\x04'), 10000u));
  const auto reads = fake->transfers(kCommandIn);
  ASSERT_GE(reads.size(), 2u);
  EXPECT_EQ(std::pair(reads[0].timeoutMs, reads[1].timeoutMs), std::pair(5u, 2000u));
}

// An acknowledgement is exactly "ACK" (what follows a zero byte aside); a data reply is terminated
// unless it fills the buffer.
TEST_F(CommandChannelTest, AcknowledgementsAreExactlyAckDataRepliesTerminatedUnlessTheyFill) {
  auto z = connect();
  const std::pair<std::string, unsigned int> cases[] = {{"ACK", ZYL_SUCCESS},
                                                        {std::string("ACK\0junk", 8), ZYL_SUCCESS},
                                                        {"ACKx", ZYL_NOT_ACKNOWLEDGED},
                                                        {"", ZYL_NOT_ACKNOWLEDGED},
                                                        {"AC", ZYL_NOT_ACKNOWLEDGED}};
  fake->responder = nullptr;
  for (const auto& [reply, expected] : cases) {
    fake->queue(kCommandIn, reply);
    long length = 1234;
    EXPECT_EQ(z->ZylUSBExecuteCommand("-1B3101", nullptr, length, true, 10000, 7000), expected)
        << reply;
    EXPECT_EQ(length, 1234) << "an acknowledged command leaves length alone";
  }
  EXPECT_EQ(fake->transfers(kCommandIn).back().timeoutMs, 7000u);

  unsigned char reply[16];
  char log[1024];
  auto ask = [&](const char* answer, long length) {
    std::memset(reply, 'x', sizeof reply);
    fake->queue(kCommandIn, answer);
    EXPECT_EQ(z->ZylUSBExecuteCommand("-1B3000", reply, length, true, 6000, 6000), ZYL_SUCCESS);
    z->GetDebugString(log);
    return length;
  };
  EXPECT_EQ(ask("12%s%n", 8), 6);  // a reply is logged as text, never used as a format
  EXPECT_STREQ(reinterpret_cast<char*>(reply), "12%s%n");
  EXPECT_STREQ(log, "12%s%n");
  EXPECT_EQ(ask("ABCDEFGHIJ", 8), 8);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 9), "ABCDEFGHx");  // nothing stored after
  EXPECT_STREQ(log, "8 bytes");
  long length = 8;  // what did not fit stays in the pipe for the next read
  ASSERT_EQ(z->ZylUSBGetData(reply, length, 100), ZYL_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), static_cast<size_t>(length)), "IJ");
  length = 0;
  EXPECT_EQ(z->ZylUSBExecuteCommand("-1B3000", reply, length, true, 6000, 6000),
            ZYL_INVALID_ARGUMENT);
}

TEST_F(CommandChannelTest, CommandsLongerThan1023CharactersAreRefusedUnsent) {
  auto z = connect();
  const std::string tooLong = "-1B41" + std::string(1019, '0');  // 1024 characters
  EXPECT_EQ(ZylTestPeer::sendAcknowledged(*z, tooLong.c_str()), ZYL_INVALID_ARGUMENT);
  EXPECT_TRUE(fake->writes().empty());
  EXPECT_EQ(ZylTestPeer::sendAcknowledged(*z, tooLong.substr(0, 1023).c_str()), ZYL_SUCCESS);
  // A command text built past its buffer is refused whole, never sent cut short.
  zyl::detail::CommandText<8> built("-1B41");
  built.hex(0x1234, 4);
  ASSERT_TRUE(built.overflowed());
  long length = 16;
  unsigned char reply[16];
  EXPECT_EQ(z->ZylUSBExecuteCommand(built.c_str(), reply, length, true, 100, 100),
            ZYL_INVALID_ARGUMENT);
  EXPECT_EQ(ZylTestPeer::sendAcknowledged(*z, built.c_str()), ZYL_INVALID_ARGUMENT);
  EXPECT_THAT(fake->writes(), ElementsAre(tooLong.substr(0, 1023)));
}

TEST_F(CommandChannelTest, NoInstrumentLeavesTheStateAlone) {
  fake->devices = 0;
  ZylInterface z;
  EXPECT_EQ(z.GetCommunicationState(), CommNotConnected);
  unsigned char data[] = "-1B05";
  long length = 5;
  EXPECT_EQ(z.ZylUSBSendData(data, length, 100), ZYL_NO_DEVICE);
  EXPECT_EQ(exec(z), ZYL_COMM_FAILURE);
  EXPECT_EQ(z.GetCommunicationState(), CommNotConnected);
  // Reading never opens the device.
  EXPECT_EQ(z.ZylUSBGetData(data, length, 100), ZYL_COMM_FAILURE);
  EXPECT_EQ(z.RenumFX2(), ZYL_COMM_FAILURE);
  EXPECT_EQ(fake->opens(), 0);
}

TEST_F(CommandChannelTest, FlushRetriesTenTimesThenGivesUpButNotWithoutVendorRequests) {
  fake->responder = nullptr;  // the instrument takes commands but never answers
  ZylInterface z;
  EXPECT_EQ(z.GetCommunicationState(), CommNotConnected);
  EXPECT_EQ(z.commandDevice, nullptr) << "a device that cannot be flushed is closed again";
  EXPECT_EQ(clock.slept(), 10u * 500u);
  EXPECT_EQ(fake->transfers(0).size(), 10u);
  EXPECT_EQ(fake->writes(), std::vector<std::string>(10, "-1B05"));

  // The flush drains every full 2048-byte chunk and stops at the first short one.
  int flushes = 0;
  fake->responder = [&](std::string_view c) -> std::optional<std::string> {
    if (c == "-1B05" && flushes++ == 0) {
      fake->queue(kCommandIn, std::string(2048, 'a'));
      fake->queue(kCommandIn, std::string(2048, 'b'));
      return std::string(10, 'c');
    }
    return std::string(c == "-1B05" ? "VERSION110812" : "ACK");
  };
  EXPECT_EQ(z.TestConnection(), CommConnected);
  EXPECT_STREQ(z.firmwareVersion, "VERSION110812");

  // An instrument that takes no vendor request (connection, pre-read, clear) is used unflushed;
  // a failed write fails the flush.
  fake->fail(0, TransferResult::stall, 3);
  const uint64_t slept = clock.slept();
  ZylInterface quiet;
  EXPECT_EQ(quiet.GetCommunicationState(), CommInitialized);
  EXPECT_EQ(quiet.ZylUSBPreRead(), ZYL_SUCCESS);
  EXPECT_EQ(clock.slept(), slept);
  EXPECT_EQ(quiet.ClearFX2Buffers(), ZYL_COMM_FAILURE);
  fake->failWrites = 1;
  EXPECT_EQ(quiet.ZylUSBPreRead(), ZYL_COMM_FAILURE);
}

TEST_F(CommandChannelTest, PipesKeepTheirTimeOutsAndDrainAlsoWhenTheCommandPipeReopens) {
  auto z = connect();
  ASSERT_EQ(z->ensureStatusPipeAvailable(), ZYL_SUCCESS);
  EXPECT_EQ(z->statusEndpoint->address, kStatusIn);
  EXPECT_EQ(fake->aborts(kStatusIn), 1);
  fake->queue(kStatusIn, std::string(2048, 's'));
  fake->queue(kStatusIn, "tail");
  fake->queue(kStatusIn, "kept");
  EXPECT_EQ(z->clearStatusPipe(), ZYL_SUCCESS);
  EXPECT_EQ(z->statusEndpoint->timeoutMs, 500u);
  unsigned char buffer[64];
  long length = sizeof buffer;
  ASSERT_EQ(z->ZylUSBGetStatusData(buffer, length), ZYL_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(length)), "kept");

  ASSERT_EQ(z->ensureScanPipeAvailable(), ZYL_SUCCESS);
  EXPECT_EQ(z->scanEndpoint->address, kScanIn);
  EXPECT_EQ(z->clearScanPipe(), ZYL_SUCCESS);
  EXPECT_EQ(z->scanEndpoint->timeoutMs, 100u);
  EXPECT_EQ(z->ZylUSBGetScanData(buffer, length, 0), ZYL_COMM_FAILURE);  // nothing queued
  EXPECT_EQ(fake->transfers(kScanIn).back().timeoutMs, 500u);
  fake->queue(kScanIn, "data");
  length = sizeof buffer;
  EXPECT_EQ(z->ZylUSBGetScanData(buffer, length, 1500), ZYL_SUCCESS);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(fake->transfers(kScanIn).back().timeoutMs, 2000u);

  // Reopening the command pipe reopens and drains the scan pipe.
  fake->failWrites = 1;
  EXPECT_EQ(exec(*z), ZYL_COMM_FAILURE);
  EXPECT_EQ(z->commandDevice, nullptr) << "a failed write drops the device";
  // Scan data the instrument still had queued when the link came back.
  auto answer = fake->responder;
  fake->responder = [&](std::string_view c) {
    if (c == "-1B05") {
      fake->queue(kScanIn, std::string(2048, 'x'));
      fake->queue(kScanIn, "stale");
    }
    return answer(c);
  };
  fake->clearRecord();
  EXPECT_EQ(exec(*z), ZYL_SUCCESS);
  EXPECT_EQ(z->GetCommunicationState(), CommConnected) << "answers again, not initialised";
  EXPECT_THAT(fake->writes(), ElementsAre("-1B05", "-1B3101"));
  EXPECT_EQ(fake->opens(), 2) << "command pipe and scan pipe opened afresh";
  EXPECT_EQ(fake->aborts(kScanIn), 1);
  const auto scanReads = fake->transfers(kScanIn);
  ASSERT_EQ(scanReads.size(), 2u);  // the full chunk, then the short one
  EXPECT_EQ(scanReads[0].timeoutMs, 100u);
  EXPECT_EQ(scanReads[1].bytes, "stale");
}

// An instrument without a second or third bulk IN endpoint is still found and answers commands;
// only the pipe that is missing answers 2, and its device object stays without an endpoint.
TEST_F(CommandChannelTest, OnlyTheMissingPipeIsUnavailable) {
  for (const int bulkIn : {1, 2, 3}) {
    SCOPED_TRACE(bulkIn);
    zyl::usb::useBackend(fake = std::make_shared<FakeBackend>(bulkIn));
    ZylInterface z;
    EXPECT_EQ(z.GetCommunicationState(), CommInitialized);
    fake->queue(kStatusIn, "frame");  // after the connection's flush, which empties them
    fake->queue(kScanIn, "scan");
    const unsigned int status = bulkIn >= 2 ? ZYL_SUCCESS : ZYL_COMM_FAILURE;
    const unsigned int scan = bulkIn >= 3 ? ZYL_SUCCESS : ZYL_COMM_FAILURE;
    unsigned char buffer[8];
    long length = sizeof buffer;
    EXPECT_EQ(z.ZylUSBGetStatusData(buffer, length), status);
    length = sizeof buffer;
    EXPECT_EQ(z.ZylUSBGetScanData(buffer, length, 10), scan);
    EXPECT_EQ(z.clearStatusPipe(), status);
    EXPECT_EQ(z.initializeScanReading(), scan);
    EXPECT_EQ(z.PerformScanHS(1, 0, 100, 10, 0, true), ZYL_SUCCESS) << "commands still go";
    EXPECT_NE(z.scanDevice, nullptr) << "the device stays, with or without an endpoint";
  }
}

}  // namespace
}  // namespace zyl::test
