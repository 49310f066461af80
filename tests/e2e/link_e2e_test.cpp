// The instrument link end to end against the simulated instrument: both firmware generations,
// a silent instrument at each step of an exchange, unplug and replug, a device without a scan
// pipe, and two instruments driven from two threads.
#include <gtest/gtest.h>

#include <thread>

#include "link/usb/CyUSB.h"
#include "support/ManualClock.h"
#include "zyl/ZylInterface.h"
#include "zyl/sim/SimBackend.h"

namespace zyl::test {
namespace {

using sim::Fault;
using sim::FaultKind;
using sim::Instrument;
using sim::InstrumentOptions;
using sim::SimBackend;

class LinkE2E : public ::testing::Test {
 protected:
  void plug(InstrumentOptions options = {}) {
    instrument = std::make_shared<Instrument>(options);
    backend = std::make_shared<SimBackend>(instrument);
    zyl::usb::useBackend(backend);
  }
  void TearDown() override { zyl::usb::useBackend(nullptr); }

  long dummy = 0;
  std::shared_ptr<Instrument> instrument;
  std::shared_ptr<SimBackend> backend;
};

TEST_F(LinkE2E, BothGenerationsConnectAndInitialise) {
  for (const char* version : {"VERSION130904A-V3", "VERSION110812"}) {
    SCOPED_TRACE(version);
    plug({.firmwareVersion = version});
    ZylInterface z;
    EXPECT_EQ(z.GetCommunicationState(), CommInitialized);
    EXPECT_STREQ(z.firmwareVersion, version);
    EXPECT_EQ(z.IsV3() != 0, std::string_view(version).ends_with("-V3"));
    EXPECT_EQ(z.TestConnection(), CommInitialized);
    // Commands the instrument does not know are refused with a text that is not "ACK".
    EXPECT_EQ(z.ZylUSBExecuteCommand("-1BZZ", nullptr, dummy, true, 1000, 1000),
              ZYL_NOT_ACKNOWLEDGED);
  }
}

TEST_F(LinkE2E, SilentAtTheFlushLeavesNothingOpen) {
  ManualClock clock;  // the ten 500 ms pauses of the flush pass at once
  plug();
  instrument->inject({.kind = FaultKind::NoReply, .command = "05", .times = 0});
  ZylInterface z;
  EXPECT_EQ(z.GetCommunicationState(), CommNotConnected);
  EXPECT_EQ(z.commandDevice, nullptr);
  EXPECT_FALSE(z.firmwareVersionRead);
  EXPECT_EQ(clock.slept(), 5000u);

  instrument->clearFaults();
  EXPECT_EQ(z.TestConnection(), CommConnected);
  EXPECT_EQ(z.InitializeSettings(), CommInitialized);
}

TEST_F(LinkE2E, SilentAfterTheFlushMeansNoResponse) {
  plug();
  // The flush's "-1B05" is answered, the version query itself is not.
  instrument->inject({.kind = FaultKind::NoReply, .command = "05", .nth = 2});
  ZylInterface z;
  EXPECT_EQ(z.GetCommunicationState(), CommNoResponse);
  EXPECT_FALSE(z.firmwareVersionRead);
  EXPECT_EQ(z.TestConnection(), CommConnected);
}

TEST_F(LinkE2E, ALateReplyStaysInThePipeForTheNextRead) {
  plug();
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  instrument->inject({.kind = FaultKind::LateReply, .command = "05", .delayMs = 200});
  unsigned char reply[80];
  long length = sizeof reply;
  EXPECT_EQ(z.ZylUSBExecuteCommand("-1B05", reply, length, true, 1000, 20), ZYL_COMM_FAILURE);
  EXPECT_EQ(z.GetCommunicationState(), CommNoResponse);
  // The next command's read receives the stale version text...
  length = sizeof reply;
  EXPECT_EQ(z.ZylUSBExecuteCommand("-1B07", reply, length, true, 1000, 1000), ZYL_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<char*>(reply), "VERSION130904A-V3");
  EXPECT_EQ(z.GetCommunicationState(), CommConnected);
  // ...and its own answer is read by the command after it.
  length = sizeof reply;
  EXPECT_EQ(z.ZylUSBExecuteCommand("-1B05", reply, length, true, 1000, 1000), ZYL_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<char*>(reply), "zentra Vexa");
}

TEST_F(LinkE2E, FaultyRepliesAndAFailedWrite) {
  plug();
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);

  instrument->inject({.kind = FaultKind::NotAck, .command = "31", .text = "ACK!"});
  EXPECT_EQ(z.ZylUSBExecuteCommand("-1B3101", nullptr, dummy, true, 1000, 1000),
            ZYL_NOT_ACKNOWLEDGED);
  instrument->inject({.kind = FaultKind::ShortReply, .command = "05", .length = 4});
  unsigned char reply[80];
  long length = sizeof reply;
  EXPECT_EQ(z.ZylUSBExecuteCommand("-1B05", reply, length, true, 1000, 1000), ZYL_SUCCESS);
  EXPECT_EQ(length, 4);
  EXPECT_STREQ(reinterpret_cast<char*>(reply), "VERS");

  instrument->inject({.kind = FaultKind::FailedWrite, .command = "05"});
  length = sizeof reply;
  EXPECT_EQ(z.ZylUSBExecuteCommand("-1B05", reply, length, true, 1000, 1000), ZYL_COMM_FAILURE);
  EXPECT_EQ(z.GetCommunicationState(), CommNotConnected);
  EXPECT_EQ(z.commandDevice, nullptr);
  EXPECT_EQ(z.TestConnection(), CommConnected);
}

TEST_F(LinkE2E, UnplugAndReplugMidSession) {
  plug();
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  ASSERT_EQ(z.ensureScanPipeAvailable(), ZYL_SUCCESS);

  instrument->unplug();
  EXPECT_EQ(z.TestConnection(), CommNotConnected);  // the old handle is dead for good
  EXPECT_EQ(z.TestConnection(), CommNotConnected);  // and nothing is there to reopen
  instrument->replug();
  EXPECT_EQ(z.TestConnection(), CommConnected);
  EXPECT_STREQ(z.firmwareVersion, "VERSION130904A-V3");
  // Reopening the command pipe reopened the scan pipe too: it works on the new handle.
  unsigned char buffer[16];
  long length = sizeof buffer;
  EXPECT_EQ(z.ZylUSBGetScanData(buffer, length, -490), ZYL_COMM_FAILURE);  // idle: times out
  EXPECT_NE(z.scanEndpoint, nullptr);
  EXPECT_EQ(z.InitializeSettings(), CommInitialized);

  // Re-enumeration is an unplug and replug: the next exchange fails, the one after reconnects.
  EXPECT_EQ(z.RenumFX2(), ZYL_SUCCESS);
  EXPECT_EQ(z.TestConnection(), CommNotConnected);
  EXPECT_EQ(z.TestConnection(), CommConnected);
}

TEST_F(LinkE2E, WithoutAScanPipeOnlyTheStatusPipeOpens) {
  plug({.bulkInEndpoints = 2});
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  EXPECT_EQ(z.ensureStatusPipeAvailable(), ZYL_SUCCESS);
  EXPECT_EQ(z.clearStatusPipe(), ZYL_SUCCESS);
  EXPECT_EQ(z.ensureScanPipeAvailable(), ZYL_COMM_FAILURE);
  EXPECT_EQ(z.clearScanPipe(), ZYL_COMM_FAILURE);
  unsigned char buffer[16];
  long length = sizeof buffer;
  EXPECT_EQ(z.ZylUSBGetScanData(buffer, length, 0), ZYL_COMM_FAILURE);
}

TEST_F(LinkE2E, TwoInstrumentsFromTwoThreads) {
  auto a = std::make_shared<Instrument>(InstrumentOptions{.firmwareVersion = "VERSION130904A-V3"});
  auto b = std::make_shared<Instrument>(InstrumentOptions{.firmwareVersion = "VERSION110812"});
  zyl::usb::useBackend(std::make_shared<SimBackend>(a));
  ZylInterface za;
  zyl::usb::useBackend(std::make_shared<SimBackend>(b));
  ZylInterface zb;
  ASSERT_EQ(za.GetCommunicationState(), CommInitialized);
  ASSERT_EQ(zb.GetCommunicationState(), CommInitialized);

  auto hammer = [](ZylInterface* z, std::string expected, int* failures) {
    for (int i = 0; i < 300; ++i) {
      unsigned char reply[80];
      long length = sizeof reply;
      if (z->ZylUSBExecuteCommand("-1B05", reply, length, false, 1000, 1000) != ZYL_SUCCESS ||
          expected != reinterpret_cast<char*>(reply))
        ++*failures;
    }
  };
  int failuresA = 0, failuresB = 0;
  std::thread ta(hammer, &za, "VERSION130904A-V3", &failuresA);
  std::thread tb(hammer, &zb, "VERSION110812", &failuresB);
  ta.join();
  tb.join();
  EXPECT_EQ(failuresA, 0);
  EXPECT_EQ(failuresB, 0);
}

}  // namespace
}  // namespace zyl::test
