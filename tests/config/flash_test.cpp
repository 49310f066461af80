// Whole-region flash transfer against the simulated instrument: selection per generation, the
// status stream stopped and restarted around every transfer, short and refused replies, and the
// simulator's state file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "sim/flash.h"
#include "support/ManualClock.h"
#include "support/ZylTestPeer.h"
#include "zyl/ZylInterface.h"
#include "zyl/sim/SimBackend.h"

namespace zyl::test {
namespace {

using sim::FaultKind;
using sim::FirmwareContext;
using sim::Instrument;
using sim::InstrumentOptions;

constexpr size_t kRegion = 65536;

class FlashTest : public ::testing::Test {
 protected:
  void plug(InstrumentOptions options) {
    instrument = std::make_shared<Instrument>(std::move(options));
    zyl::usb::useBackend(std::make_shared<sim::SimBackend>(instrument));
  }
  void TearDown() override { zyl::usb::useBackend(nullptr); }
  // The commands the instrument received since the last call (flash data cut to their code).
  std::vector<std::string> commands() {
    std::vector<std::string> seen;
    for (const auto& e : instrument->trace())
      if (e.endpoint == sim::kCommandOut && e.ok) seen.push_back(e.text().substr(0, 7));
    instrument->clearTrace();
    return seen;
  }
  std::vector<uint8_t> region(int r) {
    return instrument->withFirmware([r](FirmwareContext& f) { return sim::flashOf(f).regions[r]; });
  }

  ManualClock clock;
  std::shared_ptr<Instrument> instrument;
};

TEST_F(FlashTest, SlotAddressesFollowTheRegionLayout) {
  ZylInterface z;
  struct Case {
    bool ion, groupA, alternate, full;
    size_t offset;
  } cases[] = {{true, true, false, false, 16896}, {true, false, true, true, 19968},
               {false, true, false, true, 20992}, {false, false, true, false, 12800},
               {false, true, true, false, 4608},  {false, false, true, true, 51712}};
  for (const Case& c : cases)
    EXPECT_EQ(
        ZylTestPeer::getFlashAddr(z, c.ion, c.groupA, c.alternate, c.full) - z.secondFlashImage,
        static_cast<ptrdiff_t>(c.offset));
}

TEST_F(FlashTest, RegionsRoundTripWithSelectionAndStreamStoppedAroundTransfers) {
  const std::string state = ::testing::TempDir() + "zyl_flash_state.bin";
  std::filesystem::remove(state);
  plug({.flashFile = state});
  ZylInterface z;
  ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
  z.EnableStatusReporting(true);
  commands();

  std::vector<uint8_t> image(kRegion);
  for (size_t i = 0; i < kRegion; ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(z.WriteFlash(image.data(), 1), ZYL_SUCCESS);
  EXPECT_EQ(commands(),
            (std::vector<std::string>{"-1B3100", "-1B6301", "-1B60", "-1B62\x01\x08", "-1B3101"}));
  EXPECT_EQ(z.statusThreadRunning, 1u);
  EXPECT_EQ(region(1), image);

  std::vector<uint8_t> back(kRegion, 0xAA);
  ASSERT_EQ(z.ReadFlash(back.data(), 1), ZYL_SUCCESS);
  EXPECT_EQ(back, image);
  EXPECT_EQ(commands(), (std::vector<std::string>{"-1B3100", "-1B6301", "-1B61", "-1B3101"}));
  ASSERT_EQ(z.ReadFlash(nullptr, 0), ZYL_SUCCESS);  // transferred, not copied
  EXPECT_EQ(commands(), (std::vector<std::string>{"-1B3100", "-1B6300", "-1B61", "-1B3101"}));

  // A refused selection: nothing read, destination kept, the stream running again.
  instrument->inject({.kind = FaultKind::NotAck, .command = "63"});
  EXPECT_EQ(z.ReadFlash(back.data(), 0), ZYL_NOT_ACKNOWLEDGED);
  EXPECT_EQ(back, image);
  EXPECT_EQ(commands(), (std::vector<std::string>{"-1B3100", "-1B6300", "-1B3101"}));
  EXPECT_EQ(z.statusThreadRunning, 1u);
  z.EnableStatusReporting(false);
  commands();

  // Without a stream nothing is stopped or started; a short region reads as zero bytes after it.
  instrument->inject({.kind = FaultKind::ShortReply, .command = "61", .length = 100});
  ASSERT_EQ(z.ReadFlash(back.data(), 1), ZYL_SUCCESS);
  EXPECT_EQ(commands(), (std::vector<std::string>{"-1B6301", "-1B61"}));
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 100, image.begin()));
  EXPECT_EQ(std::count(back.begin() + 100, back.end(), 0), static_cast<long>(kRegion - 100));

  // Every write reply but "ACK" is 3.
  for (const char* reply : {"NAK", "ACKACK", ""}) {
    instrument->inject({.kind = FaultKind::NotAck, .command = "62", .text = reply});
    EXPECT_EQ(z.WriteFlash(image.data(), 1), ZYL_NOT_ACKNOWLEDGED) << reply;
  }
  EXPECT_EQ(z.ReadFlash(back.data(), 5), ZYL_NOT_ACKNOWLEDGED);  // the instrument has two regions
  EXPECT_EQ(z.ReadFlash(back.data(), 100), ZYL_INVALID_ARGUMENT);

  // The state file brings region 1 back in the next simulated instrument.
  plug({.flashFile = state});
  EXPECT_EQ(region(1), image);
  std::filesystem::remove(state);
}

TEST_F(FlashTest, OlderFirmwareHasOneRegionAndNoSelection) {
  plug({.firmwareVersion = "VERSION102412"});
  ZylInterface z;
  ASSERT_FALSE(z.hasSecondFlash);
  commands();
  std::vector<uint8_t> image(kRegion, 0x5A);
  ASSERT_EQ(z.WriteFlash(image.data(), 7), ZYL_SUCCESS);
  std::vector<uint8_t> back(kRegion);
  ASSERT_EQ(z.ReadFlash(back.data(), 1), ZYL_SUCCESS);
  EXPECT_EQ(back, image);
  EXPECT_EQ(region(0), image);
  EXPECT_EQ(commands(), (std::vector<std::string>{"-1B60", "-1B62ZZ", "-1B61"}));
}

}  // namespace
}  // namespace zyl::test
