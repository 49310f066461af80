// The status pipe as the status thread and the debug log see it: enabling empties the pipe and
// sends "-1B3101" every time, reads without the device are paced; the scan pipe's back-end errors
// reach the debug log, the status pipe's never do.
#include <gtest/gtest.h>

#include <string>

#include "support/link_fixture.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

class StatusPipeTest : public FakeLinkTest {
 protected:
  void SetUp() override {
    fake->blockingReads = true;  // the thread waits for frames as on a real pipe
    FakeLinkTest::SetUp();
    frames = 0;
    z = std::make_unique<ZylInterface>();
    ASSERT_TRUE(z->GetCommunicationState() >= CommConnected);
    z->firmwareV3 = true;
    z->SetStatusCallback(&countFrame);
  }
  void TearDown() override {
    z->SetStatusCallback(nullptr);  // process-wide
    z.reset();
    FakeLinkTest::TearDown();
  }
  // Positions in the record: of the first drain read (5 ms) of the status pipe, and of the first
  // "-1B3101" written; -1 when there is none.
  std::pair<int, int> drainAndSwitch() {
    const auto t = fake->transfers();
    int drain = -1, sent = -1;
    for (int i = 0; i < static_cast<int>(t.size()); ++i) {
      if (drain < 0 && t[i].endpoint == kStatusIn && t[i].timeoutMs == 5) drain = i;
      if (sent < 0 && t[i].endpoint == kCommandOut && t[i].ok && t[i].bytes == "-1B3101") sent = i;
    }
    return {drain, sent};
  }
  int statusReads() { return static_cast<int>(fake->transfers(kStatusIn).size()); }

  std::unique_ptr<ZylInterface> z;
};

TEST_F(StatusPipeTest, EveryEnableEmptiesThePipeThenSendsTheSwitchAlsoWhileTheThreadRuns) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    fake->clearRecord();
    z->EnableStatusReporting(true);
    const auto [drain, sent] = drainAndSwitch();
    EXPECT_GE(drain, 0);
    EXPECT_GT(sent, drain);
    EXPECT_EQ(z->statusThreadRunning, 1u);
    fake->queue(kStatusIn, "frame");
    EXPECT_TRUE(waitFor([&] { return frames == round + 1; }));
  }
  // The second enable woke the thread's pending read to take the pipe, and one thread goes on.
  EXPECT_GE(fake->aborts(kStatusIn), 1);
  fake->queue(kStatusIn, "frame");
  EXPECT_TRUE(waitFor([&] { return frames == 3; }));

  fake->clearRecord();
  z->EnableStatusReporting(false);
  EXPECT_EQ(z->statusThreadRunning, 0u);
  EXPECT_EQ(fake->writes(), std::vector<std::string>{"-1B3100"});
}

// A time-out or a stall is followed by the next read at once: a pause there would cut the frame
// rate. Without the device every read fails at once; each pass then waits 100 ms rather than spin.
TEST_F(StatusPipeTest, OnlyReadsWithoutTheDeviceArePaced) {
  z->EnableStatusReporting(true);
  for (TransferResult why : {TransferResult::timeout, TransferResult::stall}) {
    const int readsBefore = statusReads();
    const uint64_t pausedBefore = clock.slept();
    fake->fail(kStatusIn, why, 20);
    ASSERT_TRUE(waitFor([&] { return statusReads() - readsBefore >= 20; }));
    EXPECT_EQ(clock.slept(), pausedBefore) << static_cast<int>(why);
  }
  fake->unplugged = true;
  const int readsBefore = statusReads();
  const uint64_t pausedBefore = clock.slept();
  ASSERT_TRUE(waitFor([&] { return clock.slept() >= pausedBefore + 1000; }));
  const int firstReads = statusReads() - readsBefore;
  const uint64_t paused = clock.slept() - pausedBefore;
  EXPECT_GE(paused, 100u * static_cast<uint64_t>(firstReads - 1));
  EXPECT_LE(paused, 100u * static_cast<uint64_t>(statusReads() - readsBefore));
}

// The scan pipe's back-end errors reach the debug log; the status pipe's never do, as its thread
// would fill the log while the instrument is away.
TEST_F(FakeLinkTest, ScanPipeErrorsReachTheDebugLogStatusPipeErrorsNever) {
  ZylInterface z;
  unsigned char buffer[16];
  long length = sizeof buffer;
  char log[1024];
  fake->fail(kScanIn, TransferResult::stall);
  EXPECT_EQ(z.ZylUSBGetScanData(buffer, length, 10), ZYL_COMM_FAILURE);
  fake->fail(kScanIn, TransferResult::other);
  EXPECT_EQ(z.clearScanPipe(), ZYL_SUCCESS);  // the drain ends at the failed read
  fake->fail(kStatusIn, TransferResult::stall);
  length = sizeof buffer;
  EXPECT_EQ(z.ZylUSBGetStatusData(buffer, length), ZYL_COMM_FAILURE);
  z.GetDebugString(log);
  EXPECT_STREQ(log, "fake: transfer on endpoint 0x84 failed: other error");
}

}  // namespace
}  // namespace zyl::test
