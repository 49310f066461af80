// Scans against the scripted fake back end: the DAC commands of both generations and when they go
// again, the scan command, the copy into the caller's block, replies and blocks that do not fit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "support/link_fixture.h"
#include "zyl/ZylInterface.h"
#include "zyl/platform.h"

namespace zyl::test {
namespace {

using ::testing::ElementsAre;

// A version before 030512 (no limits suffix), one after it, and the streaming generation.
constexpr const char* kOldVersion = "VERSION020101";
constexpr const char* kSuffixVersion = "VERSION110812";
constexpr const char* kV3Version = "VERSION130904A-V3";

std::string le32(uint32_t v) {
  return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

// A reply as the older firmware sends it: `wire` points exactly as on the wire (bit 31 still
// inverted), the 32 readings (reading i is i x step + 1), the inputs, the serial text and the point
// count, big-endian.
std::string scanReply(const std::vector<uint32_t>& wire, uint16_t step, uint16_t inputs,
                      std::string_view text) {
  std::string s;
  for (uint32_t p : wire) s += le32(p);
  for (uint32_t i = 0; i < 32; ++i) s += le32(i * step + 1).substr(0, 2);
  s += le32(inputs).substr(0, 2);
  s.append(text);
  const std::string n = le32(static_cast<uint32_t>(wire.size()));
  return s.append(n.rbegin(), n.rend());
}

class ScanTest : public FakeLinkTest {
 protected:
  void TearDown() override {
    for (HGLOBAL b : blocks) GlobalFree(b);
    FakeLinkTest::TearDown();
  }
  // Answers every scan command with `reply`, the version query with the version, others "ACK".
  void answerScansWith(std::string reply) {
    fake->responder = [reply, f = fake.get()](std::string_view c) -> std::optional<std::string> {
      return c == "-1B05" ? f->version : c.starts_with("-1B90") ? reply : "ACK";
    };
  }
  HGLOBAL block(size_t bytes) { return blocks.emplace_back(GlobalAlloc(GHND, bytes)); }
  std::string contents(HGLOBAL b, size_t bytes) {
    std::string s(static_cast<const char*>(GlobalLock(b)), bytes);
    GlobalUnlock(b);
    return s;
  }
  std::vector<HGLOBAL> blocks;
};

TEST_F(ScanTest, FirstScanSendsEveryChannelRangeAndOutputsThenOnlyWhatChanged) {
  auto z = connect(kOldVersion);
  answerScansWith(scanReply({}, 0, 0, ""));
  ASSERT_EQ(z->SetDACParam(3, 1000), ZYL_SUCCESS);
  ASSERT_EQ(z->SetScanParams(8, -500, 2000), ZYL_SUCCESS);
  ASSERT_EQ(z->SetDACParam(9, 1000), ZYL_SUCCESS);  // ramped, but constant now

  ASSERT_EQ(z->PerformScan(0, 65535, 1000, nullptr, 0, nullptr), ZYL_INVALID_ARGUMENT);
  const auto writes = fake->writes();
  auto channels = fake->writes("-1B10");
  ASSERT_EQ(channels.size(), 17u);  // untouched channels go out as 0
  for (auto [i, text] : {std::pair(0, "-1B100002000080000000"),
                         {3, "-1B100002000383e80000"},
                         {8, "-1B10000100087e0c85dc"},
                         {9, "-1B100001000983e883e8"},
                         {10, "-1B100001000a80008000"},
                         {16, "-1B10000300000000ffff"}})
    EXPECT_EQ(channels[i], text);
  // The outputs follow the range command, then the scan.
  ASSERT_EQ(writes.size(), 19u);
  EXPECT_TRUE(writes[17].starts_with("-1B21") && writes[18].starts_with("-1B900001"));

  // The same scan again sends no channel; any change of the request, a parameter or an output flag
  // sends the whole set again.
  auto countAfter = [&](auto change) {
    fake->clearRecord();
    change();
    z->PerformScan(0, 65535, 1000, nullptr, 0, nullptr);
    return fake->writes("-1B10").size();
  };
  EXPECT_EQ(countAfter([] {}), 0u);
  EXPECT_EQ(countAfter([&] { z->SetScanParams(10, 1, 2); }), 17u);
  EXPECT_EQ(countAfter([&] { z->dacDirty = 1; }), 17u);  // as a digital output change leaves it
  EXPECT_EQ(countAfter([&] { z->PerformScan(0, 65535, 1000, nullptr, 7, nullptr); }), 34u);
  fake->clearRecord();
  z->PerformScan(0, 65534, 1000, nullptr, 0, nullptr);
  EXPECT_EQ(fake->writes("-1B10").back(), "-1B10000300000000fffe");
  // Clamping and truncation, then with bit 14 of the low output word, which inverts the polarity
  // of channels 5 to 9: -32768 stays -32768, channel 10 keeps its sign.
  z->SetScanParams(8, 30000, 10000);  // span cut to 2767
  z->SetScanParams(9, 1000, 1000);
  z->SetScanParams(10, -30000, -10000);  // cut to -2767
  z->SetDACParam(5, -32768);
  z->SetDACParam(6, 100);
  z->SetScanParams(2, 32767, 1);  // fixed: 16-bit sum, wraps; the end code is never sent
  for (const bool inverted : {false, true}) {
    fake->clearRecord();
    z->digitalOutputs |= inverted ? 0x4000 : 0;
    z->dacDirty = 1;
    z->PerformScan(16384, 49152, 10, nullptr, 0, nullptr);
    channels = fake->writes("-1B10");
    ASSERT_EQ(channels.size(), 17u);
    for (auto [i, plain, flipped] :
         {std::tuple(2, "-1B1000020002ffff0000", "-1B1000020002ffff0000"),
          {5, "-1B100002000500000000", "-1B100002000500000000"},
          {6, "-1B100002000680640000", "-1B10000200067f9c0000"},
          {8, "-1B1000010008f7e3fd4b", "-1B1000010008081d02b5"},    // 30691, 32075
          {9, "-1B100001000984e286d6", "-1B10000100097b1e792a"},    // 1250, 1750
          {10, "-1B100001000a081d02b5", "-1B100001000a081d02b5"}})  // -30691, -32075
      EXPECT_EQ(channels[i], inverted ? flipped : plain) << i;
  }
}

TEST_F(ScanTest, CombinedCommandCarriesEveryChannelOnEveryScan) {
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
  // V3 scans neither read nor write the last-scan cache.
  EXPECT_EQ(z->lastScanEnd, 0u);
}

TEST_F(ScanTest, RefusedChannelsTouchNothingFailuresLeaveTheFlagSet) {
  auto z = connect(kSuffixVersion);
  z->dacDirty = 0;
  short base = 11, span = 22;
  for (unsigned char channel : {16, 255}) {
    EXPECT_EQ(z->SetScanParams(channel, 5, 6), ZYL_INVALID_ARGUMENT);
    EXPECT_EQ(z->SetDACParam(channel, 5), ZYL_INVALID_ARGUMENT);
    EXPECT_EQ(z->GetScanParams(channel, &base, &span), ZYL_INVALID_ARGUMENT);
    EXPECT_EQ(z->GetDACParam(channel, &base), ZYL_INVALID_ARGUMENT);
  }
  EXPECT_EQ((std::tuple<unsigned, int, int>(z->dacDirty, base, span)), std::tuple(0u, 11, 22));

  // The last channel is in the table; either out-argument may be left out; nothing is sent.
  EXPECT_EQ(z->SetScanParams(15, -7, 9), ZYL_SUCCESS);
  EXPECT_EQ(z->GetScanParams(15, &base, nullptr) + z->GetScanParams(15, nullptr, &span), 0);
  EXPECT_EQ(std::tuple(z->dacDirty, base, span, fake->writes().size()), std::tuple(1u, -7, 9, 0u));
  int channelCommandsSeen = 0;
  fake->responder = [&](std::string_view c) -> std::optional<std::string> {
    const bool refused =
        c.starts_with("-1B10") ? ++channelCommandsSeen == 5 : c.starts_with("-1B21");
    return refused ? "NAK" : "ACK";
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
  EXPECT_EQ(fake->writes()[16], "-1B1000030000000000640000FFFF");
  EXPECT_EQ(z->dacDirty, 0u);
}

TEST_F(ScanTest, DeliversInvertedPointsWholeReplyAndTrailer) {
  auto z = connect(kOldVersion);
  // Eleven points: the first eight go the word-wise way, the last three one by one.
  std::vector<uint32_t> wire = {0x80000000u, 0x7FFFFFFFu, 0x92345678u, 0x00000001u};
  for (uint32_t i = 0; i < 7; ++i)
    wire.push_back(0x01020304u * (i + 1) ^ (i % 2 ? 0x80000000u : 0));
  const std::string reply = scanReply(wire, 100, 0xBEEF, "@253ACK1.5E-3;FF V8521200;0010");
  answerScansWith(reply);
  HGLOBAL b = block(reply.size());
  unsigned int n = 99;
  clock.advance(1234);
  ASSERT_EQ(z->PerformScan(1000, 2000, 1000, b, 0, &n), ZYL_SUCCESS);
  EXPECT_EQ(n, 11u);
  EXPECT_EQ(fake->writes("-1B90"), std::vector<std::string>{"-1B90000103e807d000046ebf0000"});
  // The reply is read with twice the scan time plus a second.
  EXPECT_EQ(std::tuple(fake->transfers(kCommandOut).back().timeoutMs,
                       fake->transfers(kCommandIn).back().timeoutMs),
            std::tuple(10000u, 3000u));

  // Points as the caller sees them, then every byte of the trailer as it came.
  const std::string got = contents(b, reply.size());
  EXPECT_EQ(got.substr(0, 16), le32(0) + le32(0xFFFFFFFFu) + le32(0x12345678u) + le32(0x80000001u));
  for (size_t i = 4; i < wire.size(); ++i)
    EXPECT_EQ(got.substr(4 * i, 4), le32(wire[i] ^ 0x80000000u)) << "point " << i;
  EXPECT_EQ(got.substr(44), reply.substr(44));
  EXPECT_EQ((std::tuple<int, int, int, uint64_t>(z->adcChannels[31], z->digitalInputs, z->pumpSpeed,
                                                 z->lastStatusTimeMs)),
            std::tuple(3101, 0xBEEF, 1200, clock.monotonicMs()));
}

TEST_F(ScanTest, RefusedRequestsSendNothingShortRepliesDeliverWhatIsPresent) {
  auto z = connect(kOldVersion);
  answerScansWith(scanReply({}, 0, 0, ""));
  HGLOBAL b = block(1024);
  unsigned int n = 77;
  // Start not below end; the first scan time whose ticks do not fit 32 bits.
  const auto notBelow = ZYL_START_NOT_BELOW_END, invalid = ZYL_INVALID_ARGUMENT;
  for (auto [start, end, ms, want] : {std::tuple(500u, 500u, 10u, notBelow),
                                      {501u, 500u, 10u, notBelow},
                                      {0u, 1u, 14784958u, invalid},
                                      {0u, 1u, 4294967295u, invalid}})
    EXPECT_EQ(z->PerformScan(start, end, ms, b, 0, &n), want) << start << " " << ms;
  EXPECT_EQ((std::array{z->PerformScanHS(1, 9, 9, 10, 0, true),
                        z->PerformScanHS(1, 0, 1, 14784958, 0, true)}),
            (std::array{notBelow, invalid}));
  EXPECT_EQ(std::tuple(fake->writes().size(), n, z->lastScanEnd), std::tuple(0u, 77u, 0u));
  // The longest that fits.
  EXPECT_EQ(z->PerformScan(0, 1, 14784957, b, 0, &n), ZYL_SUCCESS);
  EXPECT_EQ(fake->writes("-1B90"), std::vector<std::string>{"-1B90000100000001ffffff350000"});
  z->adcChannels[0] = 4321;
  const uint64_t refreshed = z->lastStatusTimeMs;
  std::string cut = scanReply({0x80000001u, 0x80000002u}, 3, 7, "");
  cut.erase(8 + 20, 46);  // all points present, the trailer cut short
  const std::string zeros(8, '\0');
  struct {
    std::string reply;
    unsigned int n;
    std::string head;  // the block's first bytes afterwards
  } cases[] = {
      {"NA", 77, zeros},               // fewer than 4 bytes: nothing copied, count untouched
      {zeros.substr(0, 4), 0, zeros},  // just the count
      // Two points of a claimed hundred: both delivered and re-inverted, nothing beyond.
      {le32(0x80000005u) + le32(0x80000006u) + std::string("\0\0\0\x64", 4), 2,
       le32(5) + le32(6) + std::string("\0\0\0\x64\0", 5)},
      {cut, 2, le32(1) + le32(2)},
      {std::string(80, '\x11') + "\xff\xff\xff\xff", 20, "\x11\x11\x11\x91"},  // 4n overflows
  };
  for (const auto& c : cases) {
    HGLOBAL b = block(4096);
    unsigned int n = 77;
    answerScansWith(c.reply);
    EXPECT_EQ(z->PerformScan(0, 10, 10, b, 0, &n), ZYL_SUCCESS);
    EXPECT_EQ(n, c.n) << c.reply.size();
    EXPECT_EQ(contents(b, c.head.size()), c.head) << c.reply.size();
  }
  EXPECT_EQ(
      (std::tuple<int, int, uint64_t>(z->adcChannels[0], z->digitalInputs, z->lastStatusTimeMs)),
      std::tuple(4321, 0, refreshed));
}

TEST_F(ScanTest, BlocksThatCannotTakeTheReplyGetNothingButTheTrailerApplies) {
  auto z = connect(kOldVersion);
  const std::string reply = scanReply({0x80000001u}, 2, 0x55, "text");
  answerScansWith(reply);
  unsigned int n = 77;

  HGLOBAL small = block(reply.size() - 1);
  EXPECT_EQ(z->PerformScan(0, 10, 10, small, 0, &n), ZYL_INVALID_ARGUMENT);
  EXPECT_EQ(contents(small, reply.size() - 1), std::string(reply.size() - 1, '\0'));
  EXPECT_EQ((std::tuple<unsigned, int, int>(n, z->adcChannels[31], z->digitalInputs)),
            std::tuple(1u, 63, 0x55));

  // Memory that is not a block (which GlobalLock refuses), and no block at all.
  alignas(std::max_align_t) unsigned char notABlock[256] = {};
  EXPECT_EQ(z->PerformScan(0, 10, 10, notABlock, 0, &n), ZYL_INVALID_ARGUMENT);
  EXPECT_EQ(z->PerformScan(0, 10, 10, nullptr, 0, nullptr), ZYL_INVALID_ARGUMENT);

  // Exactly the reply's size is enough, and the block comes back unlocked.
  HGLOBAL exact = block(reply.size());
  EXPECT_EQ(z->PerformScan(0, 10, 10, exact, 0, &n), ZYL_SUCCESS);
  EXPECT_EQ(contents(exact, 4), le32(1));
  GlobalLock(exact);
  EXPECT_FALSE(GlobalUnlock(exact));
  // A freed block is refused without reading through it.
  HGLOBAL gone = GlobalAlloc(GHND, 8192);
  EXPECT_EQ(GlobalFree(gone), nullptr);
  EXPECT_EQ(z->PerformScan(0, 10, 10, gone, 0, &n), ZYL_INVALID_ARGUMENT);

  // A scan command left unanswered keeps block and count but caches the request.
  answerScansWith("");
  fake->responder = [r = fake->responder](std::string_view c) {
    return c.starts_with("-1B90") ? std::nullopt : r(c);
  };
  HGLOBAL b = block(64);
  n = 77;
  EXPECT_EQ(z->PerformScan(10, 20, 30, b, 40, &n), ZYL_COMM_FAILURE);
  EXPECT_EQ(std::tuple(n, contents(b, 64)), std::tuple(77u, std::string(64, '\0')));
  EXPECT_EQ((std::tuple<unsigned, unsigned, unsigned, unsigned>(
                z->lastScanStart, z->lastScanEnd, z->lastScanTimeMs, z->lastScanTail)),
            std::tuple(10u, 20u, 30u, 40u));
}

TEST_F(ScanTest, FlushScansOnOlderFirmwareOnly) {
  auto z = connect(kOldVersion);
  answerScansWith(scanReply({0x80000000u}, 5, 9, ""));
  z->FlushTuneParameters();
  EXPECT_THAT(fake->writes("-1B90"), ElementsAre("-1B900001006400c800000b580000"));
  EXPECT_EQ((std::tuple<int, int>(z->adcChannels[1], z->digitalInputs)), std::tuple(6, 9));
  EXPECT_EQ(z->ClearScanQueue(), ZYL_SUCCESS);
  EXPECT_TRUE(fake->writes("-1B9F").empty());

  auto v3 = connect(kV3Version);
  v3->FlushTuneParameters();
  EXPECT_TRUE(fake->writes().empty());
  EXPECT_EQ(v3->ClearScanQueue(), ZYL_SUCCESS);
  EXPECT_THAT(fake->writes(), ElementsAre("-1B9F"));
}

}  // namespace
}  // namespace zyl::test
