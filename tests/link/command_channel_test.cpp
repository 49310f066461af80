// The command channel against the scripted fake back end: exact bytes on the wire, the status
// codes, the communication state and the pipes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/usb/CyUSB.h"
#include "link/wire.h"
#include "support/LinkFixture.h"
#include "support/ZylTestPeer.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

using ::testing::ElementsAre;

class CommandChannelTest : public FakeLinkTest {
 protected:
  // An instrument object connected to the fake, with the connection's traffic forgotten.
  std::unique_ptr<ZylInterface> connected() {
    auto z = std::make_unique<ZylInterface>();
    EXPECT_EQ(z->GetCommunicationState(), CommInitialized);
    fake->clearRecord();
    return z;
  }
  std::vector<FakeTransfer> transfersOn(uint8_t endpoint) {
    std::vector<FakeTransfer> out;
    for (auto& t : fake->transfers())
      if (t.endpoint == endpoint) out.push_back(t);
    return out;
  }
};

TEST_F(CommandChannelTest, ConnectionSendsFlushVersionModelAndOutputs) {
  ZylInterface z;
  EXPECT_EQ(z.GetCommunicationState(), CommInitialized);
  EXPECT_STREQ(z.firmwareVersion, "VERSION130904A-V3");
  EXPECT_TRUE(z.IsV3());
  EXPECT_EQ(z.IsV3(), z.readsDataInParallel());
  // Flush, version, model query of V3 firmware, then the outputs with bit 26 of the low word
  // set: every byte is the command's characters and nothing else.
  EXPECT_THAT(fake->writes(), ElementsAre("-1B05", "-1B05", "-1B07", "-1B21fffffffa0bfff370"));
  const auto all = fake->transfers();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.front().endpoint, 0);  // vendor request 4 before anything is written
  EXPECT_EQ(all.front().bytes, std::string(1, '\x04'));
  EXPECT_EQ(all.front().timeoutMs, 10000u);
  // The flush reads with 5 ms; the version query is sent and read with 2000 ms.
  const auto reads = transfersOn(kCommandIn);
  ASSERT_GE(reads.size(), 2u);
  EXPECT_EQ(reads[0].timeoutMs, 5u);
  EXPECT_EQ(reads[1].timeoutMs, 2000u);
}

TEST_F(CommandChannelTest, AcknowledgementMustBeExactlyAck) {
  auto z = connected();
  struct Case {
    std::string reply;
    unsigned int expected;
    const char* logged;
  } cases[] = {
      {"ACK", ZYL_SUCCESS, "ACK"},
      {std::string("ACK\0junk", 8), ZYL_SUCCESS, "ACK"},
      {"ACKx", ZYL_NOT_ACKNOWLEDGED, "NO ACK"},
      {"", ZYL_NOT_ACKNOWLEDGED, "NO ACK"},
      {"NAK", ZYL_NOT_ACKNOWLEDGED, "NO ACK"},
      {"AC", ZYL_NOT_ACKNOWLEDGED, "NO ACK"},
  };
  fake->responder = nullptr;
  for (const Case& c : cases) {
    fake->queue(kCommandIn, c.reply);
    long length = 1234;
    EXPECT_EQ(z->ZylUSBExecuteCommand("-1B3101", nullptr, length, true, 10000, 7000), c.expected)
        << "reply '" << c.reply << "'";
    EXPECT_EQ(length, 1234) << "an acknowledged command leaves length alone";
    char log[1024];
    z->GetDebugString(log);
    EXPECT_STREQ(log, c.logged);
  }
  const auto reads = transfersOn(kCommandIn);
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.back().timeoutMs, 7000u);
}

TEST_F(CommandChannelTest, DataRepliesAreTerminatedUnlessTheyFillTheBuffer) {
  auto z = connected();
  fake->responder = nullptr;

  unsigned char reply[16];
  std::memset(reply, 'x', sizeof reply);
  fake->queue(kCommandIn, "12%s%n");  // a reply is logged as text, never used as a format
  long length = 8;
  ASSERT_EQ(z->ZylUSBExecuteCommand("-1B3000", reply, length, true, 6000, 6000), ZYL_SUCCESS);
  EXPECT_EQ(length, 6);
  EXPECT_STREQ(reinterpret_cast<char*>(reply), "12%s%n");
  char log[1024];
  z->GetDebugString(log);
  EXPECT_STREQ(log, "12%s%n");

  std::memset(reply, 'x', sizeof reply);
  fake->queue(kCommandIn, "ABCDEFGHIJ");
  length = 8;
  ASSERT_EQ(z->ZylUSBExecuteCommand("-1B3000", reply, length, true, 6000, 6000), ZYL_SUCCESS);
  EXPECT_EQ(length, 8);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), 9), "ABCDEFGHx");  // nothing stored after
  z->GetDebugString(log);
  EXPECT_STREQ(log, "8 bytes");
  // What did not fit stays in the pipe for the next read.
  length = 8;
  ASSERT_EQ(z->ZylUSBGetData(reply, length, 100), ZYL_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), static_cast<size_t>(length)), "IJ");

  length = 0;
  EXPECT_EQ(z->ZylUSBExecuteCommand("-1B3000", reply, length, true, 6000, 6000),
            ZYL_INVALID_ARGUMENT);
}

TEST_F(CommandChannelTest, CommandsLongerThan1023CharactersAreRefusedUnsent) {
  auto z = connected();
  const std::string tooLong = "-1B41" + std::string(1019, '0');  // 1024 characters
  EXPECT_EQ(ZylTestPeer::sendAcknowledged(*z, tooLong.c_str()), ZYL_INVALID_ARGUMENT);
  EXPECT_TRUE(fake->writes().empty());
  const std::string longest = tooLong.substr(0, 1023);
  EXPECT_EQ(ZylTestPeer::sendAcknowledged(*z, longest.c_str()), ZYL_SUCCESS);
  EXPECT_THAT(fake->writes(), ElementsAre(longest));

  // A command text built past its buffer is refused whole, never sent cut short.
  zyl::detail::CommandText<8> built("-1B41");
  built.hex(0x1234, 4);
  ASSERT_TRUE(built.overflowed());
  long length = 16;
  unsigned char reply[16];
  EXPECT_EQ(z->ZylUSBExecuteCommand(built.c_str(), reply, length, true, 100, 100),
            ZYL_INVALID_ARGUMENT);
  EXPECT_EQ(ZylTestPeer::sendAcknowledged(*z, built.c_str()), ZYL_INVALID_ARGUMENT);
  EXPECT_THAT(fake->writes(), ElementsAre(longest));
}

TEST_F(CommandChannelTest, NoInstrumentLeavesTheStateAlone) {
  fake->devices = 0;
  ZylInterface z;
  EXPECT_EQ(z.GetCommunicationState(), CommNotConnected);
  EXPECT_FALSE(z.firmwareVersionRead);
  unsigned char data[] = "-1B05";
  long length = 5;
  EXPECT_EQ(z.ZylUSBSendData(data, length, 100), ZYL_NO_DEVICE);
  long dummy = 0;
  EXPECT_EQ(z.ZylUSBExecuteCommand("-1B3101", nullptr, dummy, false, 100, 100), ZYL_COMM_FAILURE);
  EXPECT_EQ(z.GetCommunicationState(), CommNotConnected);
  EXPECT_EQ(fake->opens(), 0);
  // Reading never opens the device.
  unsigned char buffer[8];
  length = sizeof buffer;
  EXPECT_EQ(z.ZylUSBGetData(buffer, length, 100), ZYL_COMM_FAILURE);
  EXPECT_EQ(z.ClearFX2Buffers(), ZYL_COMM_FAILURE);
  EXPECT_EQ(z.RenumFX2(), ZYL_COMM_FAILURE);
  EXPECT_EQ(fake->opens(), 0);
  EXPECT_EQ(z.commandDevice, nullptr);

  // Plugged in later: the next command finds it.
  fake->devices = 1;
  EXPECT_EQ(z.TestConnection(), CommConnected);
  EXPECT_EQ(z.InitializeSettings(), CommInitialized);
  EXPECT_EQ(z.TestConnection(), CommInitialized);
}

TEST_F(CommandChannelTest, StateFollowsWritesAndReads) {
  auto z = connected();
  long dummy = 0;

  // A failed write drops the device, even from CommInitialized.
  fake->failWrites = 1;
  EXPECT_EQ(z->ZylUSBExecuteCommand("-1B3101", nullptr, dummy, true, 10000, 10000),
            ZYL_COMM_FAILURE);
  EXPECT_EQ(z->GetCommunicationState(), CommNotConnected);
  EXPECT_EQ(z->commandDevice, nullptr);

  // The next exchange reopens (and flushes), then ends connected, not initialised.
  fake->clearRecord();
  EXPECT_EQ(z->ZylUSBExecuteCommand("-1B3101", nullptr, dummy, true, 10000, 10000), ZYL_SUCCESS);
  EXPECT_EQ(fake->opens(), 1);
  EXPECT_THAT(fake->writes(), ElementsAre("-1B05", "-1B3101"));
  EXPECT_EQ(z->GetCommunicationState(), CommConnected);

  // A silent instrument: connected falls back to no-response; no-response stays.
  fake->responder = nullptr;
  EXPECT_EQ(z->ZylUSBExecuteCommand("-1B3101", nullptr, dummy, true, 10000, 10000),
            ZYL_COMM_FAILURE);
  EXPECT_EQ(z->GetCommunicationState(), CommNoResponse);
  EXPECT_NE(z->commandDevice, nullptr) << "a failed read keeps the device";
  EXPECT_EQ(z->ZylUSBExecuteCommand("-1B3101", nullptr, dummy, true, 10000, 10000),
            ZYL_COMM_FAILURE);
  EXPECT_EQ(z->GetCommunicationState(), CommNoResponse);

  // Write succeeds from CommNotConnected: no response yet.
  fake->failWrites = 1;
  z->ZylUSBExecuteCommand("-1B3101", nullptr, dummy, true, 10000, 10000);
  ASSERT_EQ(z->GetCommunicationState(), CommNotConnected);
  fake->responder = [](std::string_view c) -> std::optional<std::string> {
    if (c == "-1B05") return std::string("V");
    return std::nullopt;
  };
  EXPECT_EQ(z->ZylUSBExecuteCommand("-1B3101", nullptr, dummy, true, 10000, 10000),
            ZYL_COMM_FAILURE);
  EXPECT_EQ(z->GetCommunicationState(), CommNoResponse);
}

TEST_F(CommandChannelTest, FlushRetriesTenTimesThenGivesUp) {
  fake->responder = nullptr;  // the instrument takes commands but never answers
  ZylInterface z;
  EXPECT_EQ(z.GetCommunicationState(), CommNotConnected);
  EXPECT_EQ(z.commandDevice, nullptr) << "a device that cannot be flushed is closed again";
  EXPECT_EQ(clock.slept(), 10u * 500u);
  int vendor = 0, versionWrites = 0;
  for (auto& t : fake->transfers()) {
    vendor += t.endpoint == 0;
    versionWrites += t.endpoint == kCommandOut && t.bytes == "-1B05";
  }
  EXPECT_EQ(vendor, 10);
  EXPECT_EQ(versionWrites, 10);

  // The flush drains every full 2048-byte chunk and stops at the first short one.
  fake->clearRecord();
  int flushes = 0;
  fake->responder = [&](std::string_view c) -> std::optional<std::string> {
    if (c == "-1B05" && flushes++ == 0) {
      fake->queue(kCommandIn, std::string(2048, 'a'));
      fake->queue(kCommandIn, std::string(2048, 'b'));
      return std::string(10, 'c');
    }
    if (c == "-1B05") return std::string("VERSION110812");
    return std::string("ACK");
  };
  EXPECT_EQ(z.TestConnection(), CommConnected);
  EXPECT_STREQ(z.firmwareVersion, "VERSION110812");
}

TEST_F(CommandChannelTest, FlushGivesUpQuietlyWithoutControlRequestsAndFailsOnAFailedWrite) {
  fake->vendorFails = true;  // an instrument that takes no vendor request is used unflushed
  ZylInterface z;
  EXPECT_EQ(z.GetCommunicationState(), CommInitialized);
  EXPECT_EQ(z.ZylUSBPreRead(), ZYL_SUCCESS);
  EXPECT_EQ(clock.slept(), 0u);

  fake->vendorFails = false;
  fake->failWrites = 1;
  EXPECT_EQ(z.ZylUSBPreRead(), ZYL_COMM_FAILURE);
}

TEST_F(CommandChannelTest, PipesKeepTheirTimeOutsAndDrain) {
  auto z = connected();
  ASSERT_EQ(z->ensureStatusPipeAvailable(), ZYL_SUCCESS);
  EXPECT_EQ(z->statusEndpoint->address, kStatusIn);
  EXPECT_EQ(z->statusEndpoint->timeoutMs, 500u);
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
  for (auto& t : transfersOn(kStatusIn)) EXPECT_TRUE(t.timeoutMs == 5 || t.timeoutMs == 500);

  ASSERT_EQ(z->ensureScanPipeAvailable(), ZYL_SUCCESS);
  EXPECT_EQ(z->scanEndpoint->address, kScanIn);
  EXPECT_EQ(z->clearScanPipe(), ZYL_SUCCESS);
  EXPECT_EQ(z->scanEndpoint->timeoutMs, 100u);
  length = sizeof buffer;
  EXPECT_EQ(z->ZylUSBGetScanData(buffer, length, 0), ZYL_COMM_FAILURE);  // nothing queued
  EXPECT_EQ(z->scanEndpoint->timeoutMs, 500u);
  EXPECT_EQ(transfersOn(kScanIn).back().timeoutMs, 500u);
  fake->queue(kScanIn, "data");
  length = sizeof buffer;
  EXPECT_EQ(z->ZylUSBGetScanData(buffer, length, 1500), ZYL_SUCCESS);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(transfersOn(kScanIn).back().timeoutMs, 2000u);
  // None of this touched the communication state.
  EXPECT_EQ(z->GetCommunicationState(), CommInitialized);
}

TEST_F(CommandChannelTest, ReopeningTheCommandPipeReopensAndDrainsTheScanPipe) {
  auto z = connected();
  ASSERT_EQ(z->ensureScanPipeAvailable(), ZYL_SUCCESS);
  const int opensBefore = fake->opens();
  fake->failWrites = 1;
  long dummy = 0;
  z->ZylUSBExecuteCommand("-1B9F", nullptr, dummy, true, 10000, 10000);
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
  EXPECT_EQ(z->ZylUSBExecuteCommand("-1B9F", nullptr, dummy, true, 10000, 10000), ZYL_SUCCESS);
  EXPECT_EQ(fake->opens(), 2) << "command pipe and scan pipe opened afresh";
  EXPECT_GT(opensBefore, 0);
  EXPECT_EQ(fake->aborts(kScanIn), 1);
  const auto scanReads = transfersOn(kScanIn);
  ASSERT_EQ(scanReads.size(), 2u);  // the full chunk, then the short one
  EXPECT_EQ(scanReads[0].timeoutMs, 100u);
  EXPECT_EQ(scanReads[1].bytes, "stale");
  ASSERT_NE(z->scanEndpoint, nullptr);
}

TEST_F(CommandChannelTest, VendorRequestsCarryTheirCodes) {
  auto z = connected();
  EXPECT_EQ(z->ClearFX2Buffers(), ZYL_SUCCESS);
  EXPECT_EQ(z->RenumFX2(), ZYL_SUCCESS);
  const auto vendor = transfersOn(0);
  ASSERT_EQ(vendor.size(), 2u);
  EXPECT_EQ(vendor[0].bytes, std::string(1, '\x04'));
  EXPECT_EQ(vendor[1].bytes, std::string(1, '\x05'));
  EXPECT_EQ(vendor[1].timeoutMs, 10000u);
  fake->vendorFails = true;
  EXPECT_EQ(z->ClearFX2Buffers(), ZYL_COMM_FAILURE);
}

// An instrument without a second or third bulk IN endpoint is still found and answers commands;
// only the pipe that is missing answers 2, and its device object stays without an endpoint.
TEST(MissingPipes, OnlyTheMissingPipeIsUnavailable) {
  for (const int bulkIn : {1, 2, 3}) {
    SCOPED_TRACE(bulkIn);
    ManualClock clock;
    auto fake = std::make_shared<FakeBackend>(bulkIn);
    zyl::usb::useBackend(fake);
    {
      ZylInterface z;
      EXPECT_EQ(z.GetCommunicationState(), CommInitialized);
      fake->queue(kStatusIn, "frame");  // after the connection's flush, which empties them
      fake->queue(kScanIn, "scan");
      const unsigned int status = bulkIn >= 2 ? ZYL_SUCCESS : ZYL_COMM_FAILURE;
      const unsigned int scan = bulkIn >= 3 ? ZYL_SUCCESS : ZYL_COMM_FAILURE;
      EXPECT_EQ(z.ensureStatusPipeAvailable(), status);
      unsigned char buffer[8];
      long length = sizeof buffer;
      EXPECT_EQ(z.ZylUSBGetStatusData(buffer, length), status);
      EXPECT_EQ(z.ensureScanPipeAvailable(), scan);
      length = sizeof buffer;
      EXPECT_EQ(z.ZylUSBGetScanData(buffer, length, 10), scan);
      EXPECT_EQ(z.clearScanPipe(), scan);
      EXPECT_EQ(z.clearStatusPipe(), status);
      EXPECT_EQ(z.initializeScanReading(), scan);
      EXPECT_EQ(z.PerformScanHS(1, 0, 100, 10, 0, true), ZYL_SUCCESS) << "commands still go";
      EXPECT_NE(z.scanDevice, nullptr) << "the device stays, with or without an endpoint";
      EXPECT_EQ(z.scanEndpoint != nullptr, bulkIn >= 3);
    }
    zyl::usb::useBackend(nullptr);
  }
}

}  // namespace
}  // namespace zyl::test
