// Scans against the scripted fake: the scan command and its time-outs, the bit-31 inversion, the
// copy into the caller's block, the trailer, and every reply or block that does not fit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "scan/scan_fixture.h"
#include "zyl/platform.h"

namespace zyl::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

class ScanTest : public ScanLinkTest {
 protected:
  void TearDown() override {
    for (HGLOBAL b : blocks) GlobalFree(b);
    ScanLinkTest::TearDown();
  }
  HGLOBAL block(size_t bytes) {
    blocks.push_back(GlobalAlloc(GHND, bytes));
    return blocks.back();
  }
  std::string contents(HGLOBAL b, size_t bytes) {
    const char* p = static_cast<const char*>(GlobalLock(b));
    std::string s(p, bytes);
    GlobalUnlock(b);
    return s;
  }
  std::vector<HGLOBAL> blocks;
};

std::string le32(uint32_t v) {
  std::string s;
  for (int b = 0; b < 4; ++b) s.push_back(static_cast<char>(v >> (8 * b)));
  return s;
}

TEST_F(ScanTest, DeliversInvertedPointsWholeReplyAndTrailer) {
  const fs::path dir =
      fs::temp_directory_path() /
      ("zyl-scan-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::create_directories(dir);
  fs::remove(dir / "ZylDebug.out");
  fake->version = kOldVersion;
  auto z = std::make_unique<ZylInterface>(dir.c_str());
  fake->clearRecord();

  // Eleven points: the first eight go the word-wise way, the last three one by one.
  std::vector<uint32_t> wire = {0x80000000u, 0x7FFFFFFFu, 0x92345678u, 0x00000001u};
  for (uint32_t i = 0; i < 7; ++i)
    wire.push_back(0x01020304u * (i + 1) ^ (i % 2 ? 0x80000000u : 0));
  const std::string reply =
      scanReply(wire, rampReadings(100), 0xBEEF, "@253ACK1.5E-3;FF V8521200;0010");
  answerScansWith(reply);
  HGLOBAL b = block(reply.size());
  unsigned int n = 99;
  clock.advance(1234);
  ASSERT_EQ(z->PerformScan(1000, 2000, 1000, b, 0, &n), ZYL_SUCCESS);
  EXPECT_EQ(n, 11u);
  EXPECT_EQ(written("-1B90"), std::vector<std::string>{"-1B90000103e807d000046ebf0000"});
  // The reply is read with twice the scan time plus a second.
  const auto transfers = fake->transfers();
  const auto scanWrite = std::find_if(transfers.begin(), transfers.end(),
                                      [](auto& t) { return t.bytes.starts_with("-1B90"); });
  ASSERT_NE(scanWrite, transfers.end());
  EXPECT_EQ(scanWrite->timeoutMs, 10000u);
  EXPECT_EQ(std::next(scanWrite)->endpoint, kCommandIn);
  EXPECT_EQ(std::next(scanWrite)->timeoutMs, 3000u);

  // Points as the caller sees them, then every byte of the trailer as it came.
  const std::string got = contents(b, reply.size());
  EXPECT_EQ(got.substr(0, 16), le32(0) + le32(0xFFFFFFFFu) + le32(0x12345678u) + le32(0x80000001u));
  for (size_t i = 4; i < wire.size(); ++i)
    EXPECT_EQ(got.substr(4 * i, 4), le32(wire[i] ^ 0x80000000u)) << "point " << i;
  EXPECT_EQ(got.substr(44), reply.substr(44));
  EXPECT_EQ(z->adcChannels[31], 3101);
  EXPECT_EQ(z->digitalInputs, 0xBEEF);
  EXPECT_EQ(z->pumpSpeed, 1200);
  EXPECT_EQ(z->lastStatusTimeMs, clock.monotonicMs());

  z.reset();  // closes the log
  std::ifstream log(dir / "ZylDebug.out");
  std::vector<std::string> ours;
  for (std::string line; std::getline(log, line);)
    for (const char* m : {"Start scan", "Setting DACs", "Sending scan command", "-1B90",
                          "Copying memory", "Scan complete"})
      if (line.find(m) != std::string::npos) ours.push_back(line.substr(line.find(m)));
  EXPECT_THAT(ours, ElementsAre("Start scan from 1000 to 2000 in 1000 ms", "Setting DACs",
                                "Sending scan command", "-1B90000103e807d000046ebf0000",
                                "Copying memory - 11 data points", "Scan complete"));
  fs::remove_all(dir);
}

TEST_F(ScanTest, RefusedRequestsSendNothing) {
  auto z = connect(kOldVersion);
  answerScansWith(scanReply({}, {}, 0, ""));
  HGLOBAL b = block(1024);
  unsigned int n = 77;
  EXPECT_EQ(z->PerformScan(500, 500, 10, b, 0, &n), ZYL_START_NOT_BELOW_END);
  EXPECT_EQ(z->PerformScan(501, 500, 10, b, 0, &n), ZYL_START_NOT_BELOW_END);
  EXPECT_EQ(z->PerformScanHS(1, 9, 9, 10, 0, true), ZYL_START_NOT_BELOW_END);
  // The longest scan time whose ticks fit 32 bits, and the first that does not.
  EXPECT_EQ(z->PerformScan(0, 1, 14784958, b, 0, &n), ZYL_INVALID_ARGUMENT);
  EXPECT_EQ(z->PerformScanHS(1, 0, 1, 14784958, 0, true), ZYL_INVALID_ARGUMENT);
  EXPECT_EQ(z->PerformScan(0, 1, 4294967295u, b, 0, &n), ZYL_INVALID_ARGUMENT);
  EXPECT_TRUE(fake->writes().empty());
  EXPECT_EQ(n, 77u);
  EXPECT_EQ(z->lastScanEnd, 0u);

  EXPECT_EQ(z->PerformScan(0, 1, 14784957, b, 0, &n), ZYL_SUCCESS);
  EXPECT_EQ(written("-1B90"), std::vector<std::string>{"-1B90000100000001ffffff350000"});
  fake->clearRecord();
  z->PerformScan(0, 1, 10, b, 0, &n);
  EXPECT_EQ(written("-1B90"), std::vector<std::string>{"-1B9000010000000100000b580000"});
}

TEST_F(ScanTest, ShortRepliesDeliverWhatIsPresentAndLeaveTheRecord) {
  auto z = connect(kOldVersion);
  z->adcChannels[0] = 4321;
  const uint64_t refreshed = z->lastStatusTimeMs;
  std::string cut = scanReply({0x80000001u, 0x80000002u}, rampReadings(3), 7, "");
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
  EXPECT_EQ(z->adcChannels[0], 4321);
  EXPECT_EQ(z->digitalInputs, 0);
  EXPECT_EQ(z->lastStatusTimeMs, refreshed);
}

TEST_F(ScanTest, BlocksThatCannotTakeTheReplyGetNothingButTheTrailerApplies) {
  auto z = connect(kOldVersion);
  const std::string reply = scanReply({0x80000001u}, rampReadings(2), 0x55, "text");
  answerScansWith(reply);
  unsigned int n = 77;

  HGLOBAL small = block(reply.size() - 1);
  EXPECT_EQ(z->PerformScan(0, 10, 10, small, 0, &n), ZYL_INVALID_ARGUMENT);
  EXPECT_EQ(contents(small, reply.size() - 1), std::string(reply.size() - 1, '\0'));
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(z->adcChannels[31], 63);
  EXPECT_EQ(z->digitalInputs, 0x55);

  // Memory that is not a block, and no block at all.
  alignas(std::max_align_t) unsigned char notABlock[256] = {};
  z->adcChannels[31] = 0;
  n = 77;
  EXPECT_EQ(z->PerformScan(0, 10, 10, notABlock, 0, &n), ZYL_INVALID_ARGUMENT);
  EXPECT_EQ(std::count(std::begin(notABlock), std::end(notABlock), 0), 256);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(z->adcChannels[31], 63);
  EXPECT_EQ(z->PerformScan(0, 10, 10, nullptr, 0, nullptr), ZYL_INVALID_ARGUMENT);

  // Exactly the reply's size is enough, and the block comes back unlocked.
  HGLOBAL exact = block(reply.size());
  EXPECT_EQ(z->PerformScan(0, 10, 10, exact, 0, &n), ZYL_SUCCESS);
  EXPECT_EQ(contents(exact, 4), le32(1));
  GlobalLock(exact);
  EXPECT_FALSE(GlobalUnlock(exact));
}

TEST_F(ScanTest, FailedScanCommandKeepsBlockAndCountButCachesTheRequest) {
  auto z = connect(kOldVersion);
  fake->responder = [](std::string_view c) -> std::optional<std::string> {
    if (c.starts_with("-1B90")) return std::nullopt;  // silent: the read times out
    return std::string("ACK");
  };
  HGLOBAL b = block(64);
  unsigned int n = 77;
  EXPECT_EQ(z->PerformScan(10, 20, 30, b, 40, &n), ZYL_COMM_FAILURE);
  EXPECT_EQ(n, 77u);
  EXPECT_EQ(contents(b, 64), std::string(64, '\0'));
  EXPECT_EQ(z->lastScanStart, 10u);
  EXPECT_EQ(z->lastScanEnd, 20u);
  EXPECT_EQ(z->lastScanTimeMs, 30u);
  EXPECT_EQ(z->lastScanTail, 40u);
}

TEST_F(ScanTest, FlushScansOnOlderFirmwareOnly) {
  auto z = connect(kOldVersion);
  answerScansWith(scanReply({0x80000000u}, rampReadings(5), 9, ""));
  z->FlushTuneParameters();
  EXPECT_EQ(written("-1B90"), std::vector<std::string>{"-1B90000100640"
                                                       "0c800000b580000"});
  EXPECT_EQ(written("-1B10").size(), 17u);
  EXPECT_EQ(z->adcChannels[1], 6);
  EXPECT_EQ(z->digitalInputs, 9);
  EXPECT_EQ(z->ClearScanQueue(), ZYL_SUCCESS);
  EXPECT_TRUE(written("-1B9F").empty());

  auto v3 = connect(kV3Version);
  v3->FlushTuneParameters();
  EXPECT_TRUE(fake->writes().empty());
  EXPECT_EQ(v3->ClearScanQueue(), ZYL_SUCCESS);
  EXPECT_THAT(fake->writes(), ElementsAre("-1B9F"));
  fake->responder = [](std::string_view) { return std::optional<std::string>("NAK"); };
  EXPECT_EQ(v3->ClearScanQueue(), ZYL_NOT_ACKNOWLEDGED);
  // A refused scan command still reports success: the host learns it from the scan pipe.
  EXPECT_EQ(v3->PerformScanHS(1, 0, 10, 10, 0, true), ZYL_SUCCESS);
}

}  // namespace
}  // namespace zyl::test
