// The status record: polled refresh on a test clock, the "-1B3000" reply with its serial text and
// the V3 frame, parsed under a locale whose decimal separator is the comma.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "support/CommaLocale.h"
#include "support/LinkFixture.h"
#include "support/ZylTestPeer.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
  return text;
}

// ADC channel n reads 0x1000 + n; then the inputs and the serial text.
std::string statusReply(uint16_t inputs, const std::string& serial) {
  std::string reply = "3000 ";
  for (unsigned ch = 0; ch < 32; ++ch) reply += hex4(0x1000 + ch);
  return reply + hex4(inputs) + serial;
}

class StatusRecordTest : public FakeLinkTest {
 protected:
  void SetUp() override {
    FakeLinkTest::SetUp();
    fake->version = "VERSION110812";
    fake->responder = [this](std::string_view command) -> std::optional<std::string> {
      if (command == "-1B05") return fake->version;
      if (command == "-1B3000") {
        ++statusQueries;
        if (silent) return std::nullopt;
        return nextReply;
      }
      return std::string("ACK");
    };
  }

  int statusQueries = 0;
  bool silent = false;
  std::string nextReply = statusReply(0, "@253ACK1.0E-3;FF V852500;0010");
};

TEST_F(StatusRecordTest, PolledRefreshAsksAtMostOncePerInterval) {
  fake->devices = 0;  // constructed without an instrument: no refresh has happened yet
  ZylInterface z;
  fake->devices = 1;
  ASSERT_EQ(z.lastStatusTimeMs, 0u);

  EXPECT_EQ(z.ReadADC(3), 0x1003);  // the very first getter fetches
  EXPECT_EQ(statusQueries, 1);
  clock.advance(2999);
  EXPECT_EQ(z.GetDigIn(0), 0);
  clock.advance(1);  // exactly 3000 ms: still fresh
  EXPECT_EQ(z.ReadADC(4), 0x1004);
  EXPECT_EQ(z.pumpSpeed, 500);
  EXPECT_EQ(statusQueries, 1);
  clock.advance(1);
  nextReply = statusReply(0x0002, "@253ACK1.0E-3;FF V852500;0010");
  EXPECT_EQ(z.GetDigIn(1), 1);
  EXPECT_EQ(statusQueries, 2);

  // A silent instrument is asked once, reported, and not again within the interval; the getters
  // meanwhile answer from the record as it was.
  silent = true;
  clock.advance(3001);
  CaptureStderr();
  EXPECT_EQ(z.ReadADC(3), 2);
  EXPECT_EQ(GetCapturedStderr(), "Status read failed.  nRet = 2, lBytes = 0\n");
  clock.advance(3000);
  EXPECT_EQ(z.ReadADC(3), 0x1003);
  EXPECT_EQ(statusQueries, 3);
}

TEST_F(StatusRecordTest, V3FirmwareNeverPolls) {
  fake->version = "VERSION130904A-V3";
  ZylInterface z;
  ASSERT_TRUE(z.IsV3());
  fake->clearRecord();
  clock.advance(100000);
  EXPECT_EQ(z.UpdateStatusIfNeeded(), ZYL_SUCCESS);
  EXPECT_EQ(z.ForceStatusUpdate(), ZYL_SUCCESS);
  z.EnableStatusReporting(false);  // no stream runs: nothing to stop
  EXPECT_TRUE(fake->writes().empty());
}

TEST_F(StatusRecordTest, ReplyAndSerialTextUnderACommaLocale) {
  CommaLocale locale;
  if (!locale.ok()) GTEST_SKIP() << CommaLocale::kMissing;
  ZylInterface z;
  z.heaterReadbacksInStatus = true;

  // Applied one after the other (a whole reply with its serial text is PolledStatusFollowsThe-
  // Instrument's). Without "ACK" pressure and speed fall back; the pump state and the readbacks
  // stay. 0x43160000 is 150.0f: low half first.
  const struct {
    const char* text;
    double pressure;
    int speed;
    bool running;
    float apci;
  } steps[] = {
      {"@253ACK0.0;FF V852900;0010", 99.0, 900, true, 20.0f},
      {"@253NAK160;FF V852900;0000|HEATER TEMP 402 03 T= 0000 4348", 99.0, 0, true, 20.0f},
      {"@253ACK12.5;FF V8521200;0000|HEATER TEMP 402  3 T= 0000 4316", 12.5, 1200, false, 150.0f},
      {"@253ACK2.0E-2;FF E", 0.02, 0, false, 150.0f},
  };
  auto parse = [&](std::string text) { z.ParseSerialData(text.data()); };
  CaptureStderr();
  for (const auto& step : steps) {
    parse(step.text);
    EXPECT_DOUBLE_EQ(z.pressureMbar, step.pressure) << step.text;
    EXPECT_EQ(z.pumpSpeed, step.speed) << step.text;
    EXPECT_EQ(z.pumpRunning, step.running) << step.text;
    EXPECT_FLOAT_EQ(z.apciReadback, step.apci) << step.text;
  }
  EXPECT_EQ(GetCapturedStderr(), "Pump data bad\n");

  // Heater records: an unknown heater, a record cut before its second group, and records while
  // the configuration says the status carries none, all change nothing.
  parse("@253ACK1E-3;FF V852900;0010|HEATER TEMP 402 04 T= 0000 4348");
  parse("@253ACK1E-3;FF V852900;0010|HEATER TEMP 402 01 T= 0000");
  z.heaterReadbacksInStatus = false;
  parse("@253ACK1E-3;FF V852900;0010|HEATER TEMP 402 01 T= 0000 4348");
  EXPECT_FLOAT_EQ(z.capillaryReadback, 20.0f);
  EXPECT_DOUBLE_EQ(z.pressureMbar, 0.001);
}

TEST_F(StatusRecordTest, ShortRepliesApplyWhatTheyHold) {
  ZylInterface z;
  z.adcChannels[3] = 0x7777;
  z.pressureMbar = 0.5;

  // Groups without a digit read 0, partly hexadecimal ones as far as the digits go.
  std::string reply = "3000 zzzz12zz0003 0";  // ends inside channel 3's group
  ZylTestPeer::applyStatusReply(z, reply.data(), static_cast<long>(reply.size()));
  EXPECT_EQ(z.adcChannels[0], 0);
  EXPECT_EQ(z.adcChannels[1], 0x12);
  EXPECT_EQ(z.adcChannels[2], 0x0003);
  EXPECT_EQ(z.adcChannels[3], 0x7777);
  EXPECT_DOUBLE_EQ(z.pressureMbar, 0.5);  // the serial text was not reached

  reply = statusReply(0x0004, "");  // reaches offset 137 with an empty serial text
  ASSERT_EQ(reply.size(), 137u);
  ZylTestPeer::applyStatusReply(z, reply.data(), static_cast<long>(reply.size()));
  EXPECT_EQ(z.adcChannels[3], 0x1003);
  EXPECT_EQ(z.digitalInputs, 0x0004);
  EXPECT_DOUBLE_EQ(z.pressureMbar, 99.0);

  // Fewer than four bytes: reported, success, the record untouched.
  nextReply = "NAK";
  CaptureStderr();
  EXPECT_EQ(z.ForceStatusUpdate(), ZYL_SUCCESS);
  EXPECT_EQ(GetCapturedStderr(), "Status read failed.  nRet = 0, lBytes = 3\n");
  EXPECT_EQ(z.adcChannels[3], 0x1003);

  // A full 512-byte reply keeps its last character and is still read as a text.
  nextReply = statusReply(0x0009, "@253ACK3E-4;FF V852700;0010");
  nextReply.resize(512, ' ');
  EXPECT_EQ(z.ForceStatusUpdate(), ZYL_SUCCESS);
  EXPECT_EQ(z.digitalInputs, 0x0009);
  EXPECT_DOUBLE_EQ(z.pressureMbar, 3e-4);
}

// A V3 frame: ADC channel n reads 0x2000 + n, then the inputs, the gauge field, the pump field
// and the four heater groups.
std::string v3Frame(const std::string& gauge, const std::string& pump,
                    const std::string& heaters = " 0000 0096 00c8 0032") {
  std::string frame;
  for (unsigned ch = 0; ch < 32; ++ch) frame += hex4(0x2000 + ch);
  frame += hex4(0x0101);
  std::string g = gauge, p = pump;
  g.resize(33, ' ');
  p.resize(33, ' ');
  return frame + g + p + heaters;
}

TEST(StatusFrameTest, ParsesEachFieldWhereItStandsUnderACommaLocale) {
  CommaLocale locale;
  if (!locale.ok()) GTEST_SKIP() << CommaLocale::kMissing;
  zyl::usb::useBackend(std::make_shared<FakeBackend>());
  ZylInterface z;
  zyl::usb::useBackend(nullptr);
  auto parse = [&](const std::string& frame) {
    ZylTestPeer::parseStatusFrame(z, frame.data(), frame.size());
  };

  const std::string full = v3Frame("@253ACK2.50E-06;FF", "V852950;0010");
  ASSERT_EQ(full.size(), 218u);
  parse(full);  // every field of a whole frame: StatusSimTest.FramesFillTheRecordUntilDisabled
  EXPECT_DOUBLE_EQ(z.pressureMbar, 2.5e-6);
  EXPECT_EQ(z.pumpSpeed, 950);
  EXPECT_TRUE(z.pumpRunning);

  // Markers count only near the start of their fields; without one the values stay (no reset).
  parse(v3Frame(std::string(18, ' ') + "@253ACK1.0E-3", std::string(15, ' ') + "V852100;0000"));
  EXPECT_DOUBLE_EQ(z.pressureMbar, 2.5e-6);
  EXPECT_EQ(z.pumpSpeed, 950);
  EXPECT_TRUE(z.pumpRunning);
  parse(v3Frame(std::string(17, ' ') + "@253ACK1.0E-3", std::string(14, ' ') + "V852100;0000"));
  EXPECT_DOUBLE_EQ(z.pressureMbar, 1e-3);
  EXPECT_EQ(z.pumpSpeed, 100);
  EXPECT_FALSE(z.pumpRunning);
  parse(v3Frame("@253ACK0.0;FF", "V852100"));
  EXPECT_DOUBLE_EQ(z.pressureMbar, 99.0);

  // Groups that hold no hexadecimal number leave their fields alone.
  std::string bad = full;
  bad.replace(0, 4, "zz00");
  bad.replace(203, 5, " xyzw");  // heater group 1
  z.capillaryReadback = 1.0f;
  z.adcChannels[0] = 0x1234;
  parse(bad);
  EXPECT_EQ(z.adcChannels[0], 0x1234);
  EXPECT_FLOAT_EQ(z.capillaryReadback, 1.0f);
  EXPECT_FLOAT_EQ(z.desolvationReadback, 200.0f);

  // Cut frames: fields beyond the received end keep their values.
  z.digitalInputs = 0;
  z.pressureMbar = 7.0;
  z.desolvationReadback = 5.0f;
  const std::string other = v3Frame("@253ACK3.0E-3;FF", "V852420;0000", " 0000 0011 0002 0003");
  ZylTestPeer::parseStatusFrame(z, other.data(), 130);
  EXPECT_EQ(z.digitalInputs, 0);
  EXPECT_DOUBLE_EQ(z.pressureMbar, 7.0);
  ZylTestPeer::parseStatusFrame(z, other.data(), 139);  // just past "@253ACK"
  EXPECT_DOUBLE_EQ(z.pressureMbar, 7.0);
  ZylTestPeer::parseStatusFrame(z, other.data(), 210);
  EXPECT_DOUBLE_EQ(z.pressureMbar, 3e-3);
  EXPECT_EQ(z.pumpSpeed, 420);
  EXPECT_FLOAT_EQ(z.capillaryReadback, 17.0f);  // group 1 ends at 207: parsed
  EXPECT_FLOAT_EQ(z.desolvationReadback, 5.0f);
}

}  // namespace
}  // namespace zyl::test
