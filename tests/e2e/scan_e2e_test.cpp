// Scans end to end against the simulated instrument: the older generation's scan with its trailer
// up to the largest reply, the DAC codes reaching the instrument and shaping its spectrum, and the
// V3 scan queue read from the scan pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "sim/controller_io.h"
#include "sim/physics.h"
#include "sim/spectrum.h"
#include "zyl/ZylInterface.h"
#include "zyl/platform.h"
#include "zyl/sim/Scan.h"
#include "zyl/sim/SimBackend.h"

namespace zyl::test {
namespace {

using sim::Instrument;
using sim::InstrumentOptions;

constexpr const char* kOlder = "VERSION110812";

uint32_t ticksOf(uint32_t ms) {
  return static_cast<uint32_t>(uint64_t{ms} * 273066 / 940);
}

uint32_t le32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

class ScanE2E : public ::testing::Test {
 protected:
  void plug(InstrumentOptions options) {
    instrument = std::make_shared<Instrument>(options);
    zyl::usb::useBackend(std::make_shared<sim::SimBackend>(instrument));
  }
  void TearDown() override {
    for (HGLOBAL b : blocks) GlobalFree(b);
    zyl::usb::useBackend(nullptr);
  }
  HGLOBAL block(size_t bytes) {
    blocks.push_back(GlobalAlloc(GHND, bytes));
    return blocks.back();
  }
  template <class F>
  auto firmware(F&& f) {
    return instrument->withFirmware(std::forward<F>(f));
  }
  // The points of an older-generation scan as the caller's block holds them.
  std::vector<uint32_t> points(HGLOBAL b, unsigned int n) {
    auto* p = static_cast<const unsigned char*>(GlobalLock(b));
    std::vector<uint32_t> out(n);
    for (unsigned int i = 0; i < n; ++i) out[i] = le32(p + 4 * i);
    GlobalUnlock(b);
    return out;
  }

  std::shared_ptr<Instrument> instrument;
  std::vector<HGLOBAL> blocks;
};

TEST_F(ScanE2E, OlderGenerationScanDeliversTheSpectrumAndTheTrailer) {
  plug({.firmwareVersion = kOlder, .manualClock = true, .seed = 7});
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  ASSERT_FALSE(z.IsV3());
  z.SetScanParams(8, -500, 2000);
  firmware([](sim::FirmwareContext& f) {
    auto& io = f.state().part<sim::ControllerIo>();
    io.adc[7] = 0x1234;
    io.digitalInputs = 0x00A5;
    f.state().part<sim::PhysicalModel>().setPressureMbar(2.5e-5);
  });

  HGLOBAL b = block(1 << 20);
  unsigned int n = 0;
  ASSERT_EQ(z.PerformScan(1000, 60000, 500, b, 0, &n), ZYL_SUCCESS);
  EXPECT_EQ(n, sim::scanPointCount(1000, 60000, ticksOf(500)));
  EXPECT_EQ(n, 3601u);

  // The instrument holds the codes the library computed, and the range.
  firmware([&](sim::FirmwareContext& f) {
    const sim::DacSettings& d = f.state().part<sim::ScanState>().dacs;
    EXPECT_EQ(d.rangeStart, 1000);
    EXPECT_EQ(d.rangeEnd, 60000);
    EXPECT_TRUE(d.ramped[8]);
    EXPECT_EQ(d.startCode[8], z.dacChannels[8].startCode);
    EXPECT_EQ(d.endCode[8], z.dacChannels[8].endCode);
    EXPECT_EQ(d.endCode[8], 1331);  // -500 + 2000 x 60000 / 65535, truncated
  });

  // The largest point sits on the tallest peak of the instrument's spectrum in range.
  const std::vector<uint32_t> counts = points(b, n);
  const auto top = std::max_element(counts.begin(), counts.end()) - counts.begin();
  const double topPosition = sim::scanPosition(1000, 60000, n, static_cast<uint64_t>(top));
  const auto peaks = firmware(
      [](sim::FirmwareContext& f) { return f.state().part<sim::SpectrumModel>().peaks(7); });
  const auto tallest = std::max_element(peaks.begin(), peaks.end(), [](auto& a, auto& b) {
    return (a.position < 1000 || a.position > 60000 ? 0 : a.height) <
           (b.position < 1000 || b.position > 60000 ? 0 : b.height);
  });
  EXPECT_NEAR(topPosition, tallest->position, tallest->width);
  EXPECT_GT(counts[static_cast<size_t>(top)], tallest->height * 0.9);
  EXPECT_LT(*std::min_element(counts.begin(), counts.end()), 0x80000000u);  // bit 31 undone

  // The trailer reached the status record.
  EXPECT_EQ(z.adcChannels[7], 0x1234);
  EXPECT_EQ(z.digitalInputs, 0x00A5);
  EXPECT_NEAR(z.pressureMbar, 2.5e-5, 1e-8);

  // Doubling the detector gain doubles the peak.
  z.SetDACParam(0, 8192);
  ASSERT_EQ(z.PerformScan(1000, 60000, 500, b, 0, &n), ZYL_SUCCESS);
  const std::vector<uint32_t> gained = points(b, n);
  EXPECT_NEAR(double(gained[static_cast<size_t>(top)]) / counts[static_cast<size_t>(top)], 2.0,
              0.1);
}

TEST_F(ScanE2E, TheLargestReplyArrivesWhole) {
  plug({.firmwareVersion = kOlder, .manualClock = true});
  ZylInterface z;
  constexpr size_t kMax = 7340032;
  HGLOBAL b = block(kMax);
  unsigned int n = 0;
  // A full sweep of four minutes has more points than a reply can carry.
  ASSERT_GT(sim::scanPointCount(0, 65535, ticksOf(240000)), kMax / 4);
  ASSERT_EQ(z.PerformScan(0, 65535, 240000, b, 0, &n), ZYL_SUCCESS);
  auto* p = static_cast<const unsigned char*>(GlobalLock(b));
  const uint32_t count = uint32_t{p[kMax - 4]} << 24 | uint32_t{p[kMax - 3]} << 16 |
                         uint32_t{p[kMax - 2]} << 8 | p[kMax - 1];
  EXPECT_EQ(count, n);
  EXPECT_GT(n, (kMax - 1024) / 4);
  bool allInverted = true;
  for (unsigned int i = 0; i < n; ++i) allInverted &= (p[4 * i + 3] & 0x80) == 0;
  EXPECT_TRUE(allInverted);
  GlobalUnlock(b);
  // The trailer after the last point was read too.
  z.pressureMbar = 55.0;
  ASSERT_EQ(z.PerformScan(0, 65535, 240000, b, 0, &n), ZYL_SUCCESS);
  EXPECT_EQ(z.pressureMbar, sim::PhysicalModel::kVentPressureMbar);

  // One byte short of the reply: refused, nothing copied, the count still given.
  HGLOBAL small = block(kMax - 1);
  n = 0;
  EXPECT_EQ(z.PerformScan(0, 65535, 240000, small, 0, &n), ZYL_INVALID_ARGUMENT);
  EXPECT_GT(n, 0u);
  auto* q = static_cast<const unsigned char*>(GlobalLock(small));
  EXPECT_EQ(std::count(q, q + kMax - 1, 0), static_cast<long>(kMax - 1));
  GlobalUnlock(small);
}

TEST_F(ScanE2E, V3ScansQueueStreamAndClear) {
  plug({.manualClock = true, .seed = 3});
  ZylInterface z;
  ASSERT_TRUE(z.IsV3());
  ASSERT_EQ(z.initializeScanReading(), ZYL_SUCCESS);
  z.SetScanParams(8, 100, 1000);
  ASSERT_EQ(z.PerformScanHS(1, 1000, 30000, 200, 11, true), ZYL_SUCCESS);
  ASSERT_EQ(z.PerformScanHS(2, 2000, 40000, 300, 22, false), ZYL_SUCCESS);
  firmware([&](sim::FirmwareContext& f) {
    const sim::DacSettings& d = f.state().part<sim::ScanState>().dacs;
    EXPECT_EQ(d.rangeEnd, 40000);
    EXPECT_EQ(d.startCode[8], z.dacChannels[8].startCode);
    EXPECT_EQ(d.startCode[8], -130);  // 100 + 1000 x 2000 / 65535, negated: inverted polarity
  });

  std::vector<unsigned char> buffer(1 << 20);
  std::vector<sim::V3Scan> scans;
  for (int i = 0; i < 2; ++i) {
    long length = static_cast<long>(buffer.size());
    ASSERT_EQ(z.ZylUSBGetScanData(buffer.data(), length, 1000), ZYL_SUCCESS);
    auto scan = sim::decodeV3Scan({buffer.data(), static_cast<size_t>(length)});
    ASSERT_TRUE(scan);
    scans.push_back(*scan);
  }
  EXPECT_EQ(scans[0].sequence, 0u);
  EXPECT_EQ(scans[0].tailWord, 11);
  EXPECT_EQ(scans[0].counts.size(), sim::scanPointCount(1000, 30000, ticksOf(200)));
  EXPECT_EQ(scans[1].sequence, 1u);
  EXPECT_EQ(scans[1].leadWord, 2);
  EXPECT_EQ(scans[1].start, 2000);
  EXPECT_EQ(scans[1].counts.size(), sim::scanPointCount(2000, 40000, ticksOf(300)));
  EXPECT_GT(*std::max_element(scans[0].counts.begin(), scans[0].counts.end()), 10000u);

  // Scans that take real time stay queued until ClearScanQueue drops them.
  instrument->clock().setManual(false);
  ASSERT_EQ(z.PerformScanHS(1, 1000, 30000, 60000, 0, true), ZYL_SUCCESS);
  ASSERT_EQ(z.PerformScanHS(1, 1000, 30000, 60000, 0, true), ZYL_SUCCESS);
  EXPECT_EQ(firmware([](sim::FirmwareContext& f) {
              return f.state().part<sim::ScanState>().queue.size();
            }),
            2u);
  EXPECT_EQ(z.ClearScanQueue(), ZYL_SUCCESS);
  EXPECT_EQ(firmware([](sim::FirmwareContext& f) {
              return f.state().part<sim::ScanState>().queue.size();
            }),
            0u);
  long length = static_cast<long>(buffer.size());
  EXPECT_EQ(z.ZylUSBGetScanData(buffer.data(), length, 0), ZYL_COMM_FAILURE);
}

TEST_F(ScanE2E, WithoutAScanPipeTheHostCannotReadScans) {
  plug({.bulkInEndpoints = 2, .manualClock = true});
  ZylInterface z;
  ASSERT_TRUE(z.IsV3());
  EXPECT_EQ(z.initializeScanReading(), ZYL_COMM_FAILURE);
  EXPECT_EQ(z.PerformScanHS(1, 0, 100, 10, 0, true), ZYL_SUCCESS);
  unsigned char buffer[64];
  long length = sizeof buffer;
  EXPECT_EQ(z.ZylUSBGetScanData(buffer, length, 10), ZYL_COMM_FAILURE);
}

}  // namespace
}  // namespace zyl::test
