// The DAC table and its transfer: exact command texts of both generations, when the codes are
// sent again, polarity, clamping and the refusal of channels beyond the table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "scan/scan_fixture.h"
#include "zyl/platform.h"

namespace zyl::test {
namespace {

using ::testing::ElementsAre;

class DacTest : public ScanLinkTest {};

// The channel commands of a scan on older firmware, in the order sent.
std::vector<std::string> channelCommands(const std::vector<std::string>& writes) {
  std::vector<std::string> out;
  for (auto& w : writes)
    if (w.starts_with("-1B10")) out.push_back(w);
  return out;
}

TEST_F(DacTest, FirstScanSendsEveryChannelRangeAndOutputsThenOnlyWhatChanged) {
  auto z = connect(kOldVersion);
  answerScansWith(scanReply({}, {}, 0, ""));
  ASSERT_EQ(z->SetDACParam(3, 1000), ZYL_SUCCESS);
  ASSERT_EQ(z->SetScanParams(8, -500, 2000), ZYL_SUCCESS);
  ASSERT_EQ(z->SetDACParam(9, 1000), ZYL_SUCCESS);  // ramped, but constant now

  ASSERT_EQ(z->PerformScan(0, 65535, 1000, nullptr, 0, nullptr), ZYL_INVALID_ARGUMENT);
  const auto writes = fake->writes();
  const auto channels = channelCommands(writes);
  ASSERT_EQ(channels.size(), 17u);
  EXPECT_EQ(channels[0], "-1B100002000080000000");  // untouched channels go out as 0
  EXPECT_EQ(channels[3], "-1B100002000383e80000");
  EXPECT_EQ(channels[8], "-1B10000100087e0c85dc");
  EXPECT_EQ(channels[9], "-1B100001000983e883e8");
  EXPECT_EQ(channels[10], "-1B100001000a80008000");
  EXPECT_EQ(channels[16], "-1B10000300000000ffff");
  // The outputs follow the range command, then the scan.
  ASSERT_EQ(writes.size(), 19u);
  EXPECT_TRUE(writes[17].starts_with("-1B21"));
  EXPECT_TRUE(writes[18].starts_with("-1B900001"));
  EXPECT_EQ(z->dacDirty, 0u);

  // The same scan again: only the scan command.
  fake->clearRecord();
  z->PerformScan(0, 65535, 1000, nullptr, 0, nullptr);
  EXPECT_THAT(fake->writes(), ElementsAre("-1B9000010000ffff00046ebf0000"));

  // Any change of the request, a parameter or an output flag sends the whole set again.
  auto countAfter = [&](auto change) {
    fake->clearRecord();
    change();
    z->PerformScan(0, 65535, 1000, nullptr, 0, nullptr);
    return channelCommands(fake->writes()).size();
  };
  EXPECT_EQ(countAfter([] {}), 0u);
  EXPECT_EQ(countAfter([&] { z->PerformScan(0, 65535, 1000, nullptr, 7, nullptr); }), 34u);
  EXPECT_EQ(countAfter([&] { z->SetScanParams(10, 1, 2); }), 17u);
  EXPECT_EQ(countAfter([&] { z->dacDirty = 1; }), 17u);  // as a digital output change leaves it
  fake->clearRecord();
  z->PerformScan(0, 65534, 1000, nullptr, 0, nullptr);
  EXPECT_EQ(channelCommands(fake->writes()).back(), "-1B10000300000000fffe");
}

TEST_F(DacTest, CombinedCommandCarriesEveryChannelOnEveryScan) {
  auto z = connect(kV3Version);
  z->SetDACParam(3, 1000);
  z->SetScanParams(8, -500, 2000);
  z->SetDACParam(5, 100);
  ASSERT_EQ(z->PerformScanHS(1, 0, 65535, 1000, 0, true), ZYL_SUCCESS);
  ASSERT_EQ(z->PerformScanHS(1, 0, 65535, 1000, 0, false), ZYL_SUCCESS);
  // Inverted polarity negates channels 5 to 9 only.
  EXPECT_THAT(fake->writes(), ElementsAre("-1B13008000018000028000"
                                          "0383e8048000058064068000078000887e0c85dc"
                                          "8980008000"
                                          "8a800080008b800080000c80000d80000e80000f8000910000ffff",
                                          "-1B9000010000ffff00046ebf00000B",
                                          "-1B13008000018000028000"
                                          "0383e8048000057f9c0680000780008881f47a24"
                                          "8980008000"
                                          "8a800080008b800080000c80000d80000e80000f8000910000ffff",
                                          "-1B9000010000ffff00046ebf000004"));
  EXPECT_EQ(fake->writes()[0].size(), 127u);
  // V3 scans neither read nor write the last-scan cache.
  EXPECT_EQ(z->lastScanEnd, 0u);
}

TEST_F(DacTest, ClampingTruncationAndPolarityFromTheOutputWord) {
  auto z = connect(kOldVersion);
  answerScansWith(scanReply({}, {}, 0, ""));
  z->SetScanParams(8, 30000, 10000);  // span cut to 2767
  z->SetScanParams(9, 1000, 1000);
  z->SetScanParams(10, -30000, -10000);  // cut to -2767
  z->SetDACParam(5, -32768);
  z->SetDACParam(6, 100);
  z->SetScanParams(2, 32767, 1);  // fixed: 16-bit sum, wraps; the end code is never sent
  z->PerformScan(16384, 49152, 10, nullptr, 0, nullptr);
  auto channels = channelCommands(fake->writes());
  ASSERT_EQ(channels.size(), 17u);
  EXPECT_EQ(channels[2], "-1B1000020002ffff0000");
  EXPECT_EQ(channels[8], "-1B1000010008f7e3fd4b");   // 30691, 32075
  EXPECT_EQ(channels[9], "-1B100001000984e286d6");   // 1250, 1750
  EXPECT_EQ(channels[10], "-1B100001000a081d02b5");  // -30691, -32075
  EXPECT_EQ(channels[5], "-1B100002000500000000");

  // Bit 14 of the low output word inverts the polarity of channels 5 to 9.
  fake->clearRecord();
  z->digitalOutputs |= 0x4000;
  z->dacDirty = 1;
  z->PerformScan(16384, 49152, 10, nullptr, 0, nullptr);
  channels = channelCommands(fake->writes());
  ASSERT_EQ(channels.size(), 17u);
  EXPECT_EQ(channels[5], "-1B100002000500000000");  // -32768 stays -32768
  EXPECT_EQ(channels[6], "-1B10000200067f9c0000");
  EXPECT_EQ(channels[9], "-1B10000100097b1e792a");
  EXPECT_EQ(channels[10], "-1B100001000a081d02b5");  // channel 10 keeps its sign
}

TEST_F(DacTest, FailuresLeaveTheFlagSetSoTheNextScanSendsEverything) {
  auto z = connect(kSuffixVersion);
  int channelCommandsSeen = 0;
  fake->responder = [&](std::string_view c) -> std::optional<std::string> {
    if (c.starts_with("-1B10") && ++channelCommandsSeen == 5) return std::string("NAK");
    if (c.starts_with("-1B21")) return std::string("NAK");
    return std::string("ACK");
  };
  // Stops at the refused channel: no later channel, no range, no outputs.
  EXPECT_EQ(z->DACSetup(0, 100), ZYL_NOT_ACKNOWLEDGED);
  EXPECT_EQ(fake->writes().size(), 5u);
  EXPECT_EQ(z->dacDirty, 1u);
  // Every command of a firmware after 030512 carries the limits suffix.
  for (auto& w : fake->writes()) EXPECT_TRUE(w.ends_with("0000FFFF")) << w;

  // All 17 through: the flag drops even though the outputs were refused.
  fake->clearRecord();
  EXPECT_EQ(z->DACSetup(0, 100), ZYL_NOT_ACKNOWLEDGED);
  ASSERT_EQ(fake->writes().size(), 18u);
  EXPECT_EQ(fake->writes()[16],
            "-1B100003000000000064"
            "0000FFFF");
  EXPECT_EQ(z->dacDirty, 0u);
}

TEST_F(DacTest, ChannelsBeyondTheTableAreRefusedAndTouchNothing) {
  auto z = connect(kOldVersion);
  z->dacDirty = 0;
  short base = 11, span = 22;
  for (unsigned char channel : {16, 17, 255}) {
    EXPECT_EQ(z->SetScanParams(channel, 5, 6), ZYL_INVALID_ARGUMENT);
    EXPECT_EQ(z->SetDACParam(channel, 5), ZYL_INVALID_ARGUMENT);
    EXPECT_EQ(z->GetScanParams(channel, &base, &span), ZYL_INVALID_ARGUMENT);
    EXPECT_EQ(z->GetDACParam(channel, &base), ZYL_INVALID_ARGUMENT);
  }
  EXPECT_EQ(z->dacDirty, 0u);
  EXPECT_EQ(std::pair(base, span), (std::pair<short, short>(11, 22)));
  for (const DacChannel& ch : z->dacChannels) EXPECT_EQ(ch.base, 0);

  // The last channel is in the table; either out-argument may be left out.
  EXPECT_EQ(z->SetScanParams(15, -7, 9), ZYL_SUCCESS);
  EXPECT_EQ(z->dacDirty, 1u);
  EXPECT_EQ(z->GetScanParams(15, &base, nullptr), ZYL_SUCCESS);
  EXPECT_EQ(z->GetScanParams(15, nullptr, &span), ZYL_SUCCESS);
  EXPECT_EQ(std::pair(base, span), (std::pair<short, short>(-7, 9)));
  z->SetDACParam(15, 4);  // a fixed value has no span
  EXPECT_EQ(z->GetScanParams(15, &base, &span), ZYL_SUCCESS);
  EXPECT_EQ(std::pair(base, span), (std::pair<short, short>(4, 0)));
  EXPECT_TRUE(fake->writes().empty());
}

}  // namespace
}  // namespace zyl::test
