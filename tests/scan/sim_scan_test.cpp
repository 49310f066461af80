// The simulated instrument's DAC commands on the wire: codes kept, malformed commands refused
// without a trace. The reply layout, the spectrum's dependence on the seed and the V3 scan
// messages, read through the library, are the end-to-end scan tests' part.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim_test_util.h"
#include "zyl/sim/Scan.h"

namespace zyl::sim {
namespace {

class SimScan : public ::testing::Test {
 protected:
  void make(InstrumentOptions options) {
    options.manualClock = true;
    instrument = std::make_shared<Instrument>(options);
    handle = instrument->open();
  }
  std::string exchange(std::string_view command) {
    return testing::exchange(*handle, command).value_or("<none>");
  }
  DacSettings dacs() {
    return instrument->withFirmware(
        [](FirmwareContext& f) { return f.state().part<ScanState>().dacs; });
  }

  std::shared_ptr<Instrument> instrument;
  std::unique_ptr<zyl::usb::UsbHandle> handle;
};

TEST_F(SimScan, DacCommandsOfEachGenerationAreKeptOthersRefused) {
  make({});  // V3
  const std::string all =
      "-1B13008000018000028000"
      "0383e8048000058000068000078000887e0c85dc8980008000"
      "8a800080008b800080000c80000d80000e80000f8000910000ffff";
  EXPECT_EQ(exchange(all), "ACK");
  DacSettings d = dacs();
  EXPECT_EQ(d.startCode[3], 1000);
  EXPECT_FALSE(d.ramped[3]);
  EXPECT_TRUE(d.ramped[8]);
  EXPECT_EQ(d.startCode[8], -500);
  EXPECT_EQ(d.endCode[8], 1500);
  EXPECT_EQ(d.rangeEnd, 0xffff);
  // Channel 32, a ramp without its end, a cut record, a range without its end, the older forms:
  // refused, and not even their readable front part is kept.
  for (std::string bad : {"-1B130383e9208000", "-1B130383e9887e0c", "-1B13038", "-1B130383e9910000",
                          "-1B100002000383e80000", "-1B9000010000001000000b580000"}) {
    EXPECT_EQ(exchange(bad), "NAK") << bad;
    EXPECT_EQ(dacs().startCode[3], 1000) << bad;
  }

  make({.firmwareVersion = "VERSION110812"});
  EXPECT_EQ(exchange("-1B100002000383e80000"), "ACK");
  EXPECT_EQ(exchange("-1B10000100097e0c85dc0000FFFF"), "ACK");
  EXPECT_EQ(exchange("-1B10000300000100fff0"), "ACK");
  d = dacs();
  EXPECT_EQ(d.startCode[3], 1000);
  EXPECT_EQ(d.endCode[9], 1500);
  EXPECT_EQ(d.rangeStart, 0x100);
  EXPECT_EQ(d.updates, 3u);
  for (const std::string& bad :
       std::vector<std::string>{"-1B100001001083e883e8", "-1B100004000083e883e8", "-1B1000020003zz",
                                "-1B100002000383e80000FFFF", all, "-1B9F",
                                "-1B9000010010001000000b580000"})  // start not below end
    EXPECT_EQ(exchange(bad), "NAK") << bad;
}

}  // namespace
}  // namespace zyl::sim
