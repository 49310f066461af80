// The library end to end against the simulated instrument: threads and scans (faults are the fault
// matrix's; the output, analog and I2C texts DigitalIoTest's).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

#include "sim/spectrum.h"
#include "support/scan_ticks.h"
#include "support/sim_fixture.h"
#include "zyl/ZylInterface.h"
#include "zyl/platform.h"
#include "zyl/sim/Scan.h"

namespace zyl::test {
namespace {

using sim::Instrument, sim::InstrumentOptions, sim::SimBackend;

class E2E : public SimTest {
 protected:
  void TearDown() override {
    for (HGLOBAL b : blocks) GlobalFree(b);
    SimTest::TearDown();
  }
  // The first `n` points of an older-generation scan reply, little-endian, in a block of `bytes`.
  std::vector<uint32_t> scan(ZylInterface& z, unsigned start, unsigned end, unsigned ms,
                             size_t bytes = 1 << 20) {
    blocks.push_back(GlobalAlloc(GHND, bytes));
    unsigned int n = 0;
    EXPECT_EQ(z.PerformScan(start, end, ms, blocks.back(), 0, &n), ZYL_SUCCESS);
    std::vector<uint32_t> out(n);
    std::memcpy(out.data(), GlobalLock(blocks.back()), 4 * n);  // the host is little-endian
    GlobalUnlock(blocks.back());
    return out;
  }
  sim::DacSettings dacs() {
    return firmware([](sim::FirmwareContext& f) { return f.state().part<sim::ScanState>().dacs; });
  }
  std::vector<HGLOBAL> blocks;
};

TEST_F(E2E, TwoInstrumentsFromTwoThreads) {
  auto a = std::make_shared<Instrument>(InstrumentOptions{.firmwareVersion = "VERSION130904A-V3"});
  auto b = std::make_shared<Instrument>(InstrumentOptions{.firmwareVersion = "VERSION110812"});
  zyl::usb::useBackend(std::make_shared<SimBackend>(a));
  ZylInterface za;
  zyl::usb::useBackend(std::make_shared<SimBackend>(b));
  ZylInterface zb;

  std::atomic<int> failures{0};
  auto hammer = [&](ZylInterface* z, std::string expected) {
    for (int i = 0; i < 300; ++i) {
      unsigned char reply[80];
      long length = sizeof reply;
      failures +=
          z->ZylUSBExecuteCommand("-1B05", reply, length, false, 1000, 1000) != ZYL_SUCCESS ||
          expected != reinterpret_cast<char*>(reply);
    }
  };
  std::thread ta(hammer, &za, "VERSION130904A-V3"), tb(hammer, &zb, "VERSION110812");
  ta.join();
  tb.join();
  EXPECT_EQ(failures.load(), 0);
}

// (Bit 31 and the trailer of each reply are ScanTest's; the detector gain the Python test's.)
TEST_F(E2E, OlderGenerationScansDeliverTheSpectrumAndTheLargestReply) {
  plug({.firmwareVersion = "VERSION110812", .manualClock = true, .seed = 7});
  ZylInterface z;
  z.SetScanParams(8, -500, 2000);
  const std::vector<uint32_t> counts = scan(z, 1000, 60000, 500);
  EXPECT_EQ(counts.size(), sim::scanPointCount(1000, 60000, ticksOf(500)));
  // The instrument holds the codes the library computed (-500 + 2000 x 60000 / 65535, truncated),
  // and the range.
  const sim::DacSettings d = dacs();
  EXPECT_EQ(std::tuple(d.rangeStart, d.rangeEnd, d.ramped[8], d.startCode[8], d.endCode[8]),
            std::tuple(1000, 60000, true, z.dacChannels[8].startCode, 1331));

  // The largest point sits on the tallest peak of the instrument's spectrum in range.
  const auto top =
      static_cast<size_t>(std::max_element(counts.begin(), counts.end()) - counts.begin());
  const auto peaks = firmware(
      [](sim::FirmwareContext& f) { return f.state().part<sim::SpectrumModel>().peaks(7); });
  auto inRange = [](const auto& p) {
    return p.position < 1000 || p.position > 60000 ? 0 : p.height;
  };
  const auto tallest = *std::max_element(peaks.begin(), peaks.end(),
                                         [&](auto& a, auto& b) { return inRange(a) < inRange(b); });
  EXPECT_NEAR(sim::scanPosition(1000, 60000, counts.size(), top), tallest.position, tallest.width);
  EXPECT_GT(counts[top], tallest.height * 0.9);

  // A full sweep of four minutes has more points than a reply can carry: the largest reply
  // arrives whole, its point count in the last four bytes, big-endian.
  constexpr size_t kMax = ZYL_SCAN_REPLY_BYTES;
  ASSERT_GT(sim::scanPointCount(0, 65535, ticksOf(240000)), kMax / 4);
  const std::vector<uint32_t> full = scan(z, 0, 65535, 240000, kMax);
  const auto* p = static_cast<const unsigned char*>(GlobalLock(blocks.back()));
  EXPECT_EQ(uint32_t{p[kMax - 4]} << 24 | uint32_t{p[kMax - 3]} << 16 | uint32_t{p[kMax - 2]} << 8 |
                p[kMax - 1],
            full.size());
  GlobalUnlock(blocks.back());
  EXPECT_GT(full.size(), (kMax - 1024) / 4);
}

TEST_F(E2E, V3ScansQueueStreamAndClear) {
  plug({.manualClock = true, .seed = 3});
  ZylInterface z;
  ASSERT_EQ(z.initializeScanReading(), ZYL_SUCCESS);
  z.SetScanParams(8, 100, 1000);
  ASSERT_EQ(z.PerformScanHS(1, 1000, 30000, 200, 11, true), ZYL_SUCCESS);
  ASSERT_EQ(z.PerformScanHS(2, 2000, 40000, 300, 22, false), ZYL_SUCCESS);
  const sim::DacSettings d = dacs();  // start 100 + 1000 x 2000 / 65535, negated: inverted polarity
  EXPECT_EQ(std::tuple(d.rangeEnd, d.startCode[8], z.dacChannels[8].startCode),
            std::tuple(40000, -130, -130));

  std::vector<unsigned char> buffer(1 << 20);
  std::vector<sim::V3Scan> scans;
  for (int i = 0; i < 2; ++i) {
    long length = static_cast<long>(buffer.size());
    ASSERT_EQ(z.ZylUSBGetScanData(buffer.data(), length, 1000), ZYL_SUCCESS);
    auto scan = sim::decodeV3Scan({buffer.data(), static_cast<size_t>(length)});
    ASSERT_TRUE(scan);
    scans.push_back(*scan);
  }
  EXPECT_EQ(std::tuple(scans[0].sequence, scans[0].tailWord, scans[0].counts.size()),
            std::tuple(0u, 11, sim::scanPointCount(1000, 30000, ticksOf(200))));
  EXPECT_EQ(
      std::tuple(scans[1].sequence, scans[1].leadWord, scans[1].start, scans[1].counts.size()),
      std::tuple(1u, 2, 2000, sim::scanPointCount(2000, 40000, ticksOf(300))));

  // Scans that take real time stay queued until ClearScanQueue drops them.
  auto queued = [&] {
    return firmware(
        [](sim::FirmwareContext& f) { return f.state().part<sim::ScanState>().queue.size(); });
  };
  instrument->clock().setManual(false);
  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(z.PerformScanHS(1, 1000, 30000, 60000, 0, true), ZYL_SUCCESS);
  EXPECT_EQ(queued(), 2u);
  EXPECT_EQ(z.ClearScanQueue(), ZYL_SUCCESS);
  EXPECT_EQ(queued(), 0u);
  long length = static_cast<long>(buffer.size());
  EXPECT_EQ(z.ZylUSBGetScanData(buffer.data(), length, 0), ZYL_COMM_FAILURE);
}

}  // namespace
}  // namespace zyl::test
