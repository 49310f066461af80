// The simulated instrument's scan commands on the wire: DAC codes kept, refusals, the older
// generation's reply layout, reproducible spectra and the V3 message decoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/controller_io.h"
#include "zyl/sim/Instrument.h"
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
  // Writes `command` and returns the reply it got.
  std::string exchange(const std::string& command) {
    std::string c = command;
    long n = static_cast<long>(c.size());
    EXPECT_TRUE(handle->bulkTransfer(kCommandOut, reinterpret_cast<uint8_t*>(c.data()), n, 100));
    std::string reply(kScanReplyBytes, '\0');
    long got = static_cast<long>(reply.size());
    if (!handle->bulkTransfer(kCommandIn, reinterpret_cast<uint8_t*>(reply.data()), got, 100))
      return "<none>";
    reply.resize(static_cast<size_t>(got));
    return reply;
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
      "0383e8"
      "048000058000068000078000"
      "887e0c85dc"
      "8980008000"
      "8a80008000"
      "8b80008000"
      "0c80000d80000e80000f8000"
      "910000ffff";
  EXPECT_EQ(exchange(all), "ACK");
  DacSettings d = dacs();
  EXPECT_EQ(d.startCode[3], 1000);
  EXPECT_FALSE(d.ramped[3]);
  EXPECT_TRUE(d.ramped[8]);
  EXPECT_EQ(d.startCode[8], -500);
  EXPECT_EQ(d.endCode[8], 1500);
  EXPECT_EQ(d.rangeEnd, 0xffff);
  // Malformed commands change nothing, not even their readable front part.
  for (std::string bad : {"-1B13"
                          "0383e9"
                          "20"
                          "8000",
                          "-1B13"
                          "0383e9"
                          "88"
                          "7e0c",
                          "-1B13038",
                          "-1B13"
                          "0383e9"
                          "91"
                          "0000"}) {
    EXPECT_EQ(exchange(bad), "NAK") << bad;
    EXPECT_EQ(dacs().startCode[3], 1000) << bad;
  }
  EXPECT_EQ(exchange("-1B100002000383e80000"), "NAK");
  EXPECT_EQ(exchange("-1B90"
                     "0001"
                     "0000"
                     "0010"
                     "00000b58"
                     "0000"),
            "NAK");  // older form

  make({.firmwareVersion = "VERSION110812"});
  EXPECT_EQ(exchange("-1B100002000383e80000"), "ACK");
  EXPECT_EQ(exchange("-1B10000100097e0c85dc0000FFFF"), "ACK");
  EXPECT_EQ(exchange("-1B10000300000100fff0"), "ACK");
  d = dacs();
  EXPECT_EQ(d.startCode[3], 1000);
  EXPECT_EQ(d.endCode[9], 1500);
  EXPECT_EQ(d.rangeStart, 0x100);
  EXPECT_EQ(d.updates, 3u);
  for (std::string bad : {"-1B100001001083e883e8", "-1B100004000083e883e8", "-1B1000020003zz",
                          "-1B100002000383e80000FFFF"})
    EXPECT_EQ(exchange(bad), "NAK") << bad;
  EXPECT_EQ(exchange(all), "NAK");
  EXPECT_EQ(exchange("-1B9F"), "NAK");
}

TEST_F(SimScan, OlderReplyLayoutAndReproducibleSpectra) {
  make({.firmwareVersion = "VERSION110812", .seed = 42});
  instrument->withFirmware([](FirmwareContext& f) {
    f.state().part<ControllerIo>().adc[31] = 0xCAFE;
    f.state().part<ControllerIo>().digitalInputs = 0x0102;
  });
  const std::string scan =
      "-1B900001"
      "03e8"
      "ea60"
      "0002375f"
      "0000";  // 1000..60000, 500 ms
  const std::string a = exchange(scan);
  const size_t n = scanPointCount(1000, 60000, 0x2376f);
  ASSERT_EQ(n, 3601u);
  ASSERT_GT(a.size(), 4 * n + 70);
  auto byte = [&](size_t i) { return static_cast<uint8_t>(a[i]); };
  EXPECT_EQ(size_t{byte(a.size() - 4)} << 24 | size_t{byte(a.size() - 3)} << 16 |
                size_t{byte(a.size() - 2)} << 8 | byte(a.size() - 1),
            n);
  for (size_t i = 0; i < n; ++i) ASSERT_TRUE(byte(4 * i + 3) & 0x80) << "point " << i;
  EXPECT_EQ(byte(4 * n + 62), 0xFE);
  EXPECT_EQ(byte(4 * n + 63), 0xCA);
  EXPECT_EQ(byte(4 * n + 64), 0x02);
  EXPECT_EQ(byte(4 * n + 65), 0x01);
  EXPECT_NE(a.find("ACK", 4 * n + 66), std::string::npos);  // the gauge's answer in the text

  // The same seed gives the same spectrum; another seed another one.
  const std::string again = exchange(scan);
  make({.firmwareVersion = "VERSION110812", .seed = 42});
  EXPECT_EQ(exchange(scan).substr(0, 4 * n), a.substr(0, 4 * n));
  EXPECT_NE(again.substr(0, 4 * n), a.substr(0, 4 * n));  // fresh noise on the next scan
  make({.firmwareVersion = "VERSION110812", .seed = 43});
  EXPECT_NE(exchange(scan).substr(0, 4 * n), a.substr(0, 4 * n));
  EXPECT_EQ(exchange("-1B900001"
                     "0010"
                     "0010"
                     "00000b58"
                     "0000"),
            "NAK");  // start not below end
}

TEST(SimScanDecoder, RefusesWhatIsNotAWholeMessage) {
  std::vector<uint8_t> m = {'Z', 'S', 'C', 'N', 5, 0, 0, 0, 1, 0,    2,    0,    3,    0,
                            4,   0,   2,   0,   0, 0, 1, 0, 0, 0x80, 0xff, 0xff, 0xff, 0x7f};
  auto s = decodeV3Scan(m);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->sequence, 5u);
  EXPECT_EQ(s->end, 4);
  EXPECT_EQ(s->counts, (std::vector<uint32_t>{1, 0xffffffffu}));
  EXPECT_FALSE(decodeV3Scan(std::span(m).first(m.size() - 1)));
  EXPECT_FALSE(decodeV3Scan(std::span(m).first(10)));
  m[0] = 'X';
  EXPECT_FALSE(decodeV3Scan(m));
}

}  // namespace
}  // namespace zyl::sim
