// The status record: polled refresh, the "-1B3000" reply and the V3 frame under a comma locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <memory>
#include <string>
#include <tuple>

#include "support/link_fixture.h"
#include "support/zyl_test_peer.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// `count` groups of four hex digits, the n-th reading `first` + n.
std::string groups(unsigned first, unsigned count) {
  std::string out;
  char text[8];
  for (unsigned n = 0; n < count; ++n) out += (std::snprintf(text, 8, "%04x", first + n), text);
  return out;
}

// ADC channel n reads 0x1000 + n; then the inputs and the serial text.
std::string statusReply(uint16_t inputs, const std::string& serial) {
  return "3000 " + groups(0x1000, 32) + groups(inputs, 1) + serial;
}

// A V3 frame: ADC channel n reads 0x2000 + n, then the inputs, the gauge field, the pump field
// and the four heater groups.
std::string v3Frame(std::string gauge, std::string pump,
                    const char* heaters = " 0000 0096 00c8 0032") {
  gauge.resize(33, ' ');
  pump.resize(33, ' ');
  return groups(0x2000, 32) + groups(0x0101, 1) + gauge + pump + heaters;
}

class StatusRecordTest : public FakeLinkTest {
 protected:
  void SetUp() override {
    FakeLinkTest::SetUp();
    fake->version = "VERSION110812";
    fake->responder = [this](std::string_view command) -> std::optional<std::string> {
      if (command == "-1B05") return fake->version;
      if (command != "-1B3000") return std::string("ACK");
      ++statusQueries;
      return silent ? std::nullopt : std::optional<std::string>(nextReply);
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
  EXPECT_EQ(z.ReadADC(3), 0x1003);  // the very first getter fetches
  clock.advance(3000);              // exactly 3000 ms: still fresh
  EXPECT_EQ(z.ReadADC(4), 0x1004);
  EXPECT_EQ(statusQueries, 1);
  // A silent instrument is asked once, reported, and not again within the interval; the getters
  // meanwhile answer from the record as it was.
  silent = true;
  clock.advance(3001);
  CaptureStderr();
  EXPECT_EQ(z.ReadADC(3), 2);
  EXPECT_EQ(GetCapturedStderr(), "Status read failed.  nRet = 2, lBytes = 0\n");
  clock.advance(3000);
  EXPECT_EQ(z.ReadADC(3), 0x1003);
  EXPECT_EQ(statusQueries, 2);

  fake->version = "VERSION130904A-V3";  // V3 firmware never polls; no stream runs to stop
  ZylInterface v3;
  fake->clearRecord();
  EXPECT_EQ(v3.ForceStatusUpdate(), ZYL_SUCCESS);
  v3.EnableStatusReporting(false);
  EXPECT_TRUE(fake->writes().empty());
}

// Numbers from the instrument use '.' whatever the host's locale: the serial text of the
// "-1B3000" reply and the V3 frame's fields are read under a comma one.
TEST_F(StatusRecordTest, SerialTextAndFrameFieldsUnderACommaLocale) {
  const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  const std::shared_ptr<void> restore(nullptr,
                                      [&](void*) { std::setlocale(LC_NUMERIC, previous.c_str()); });
  fake->devices = 0;
  ZylInterface z;
  z.heaterReadbacksInStatus = true;
  // Applied in turn (whole replies are StatusSimTest's). Without "ACK" pressure and speed fall
  // back; the pump state and the readbacks stay. 0x43160000 is 150.0f: low half first. An
  // unknown heater and a record cut before its second group change nothing.
  const std::tuple<const char*, double, int, bool, float> steps[] = {
      {"@253ACK0.0;FF V852900;0010", 99.0, 900, true, 20.0f},
      {"@253NAK160;FF V852900;0000|HEATER TEMP 402 03 T= 0000 4348", 99.0, 0, true, 20.0f},
      {"@253ACK12.5;FF V8521200;0000|HEATER TEMP 402  3 T= 0000 4316", 12.5, 1200, false, 150.0f},
      {"@253ACK2.0E-2;FF E", 0.02, 0, false, 150.0f},
      {"@253ACK1E-3;FF V852900;0010|HEATER TEMP 402 04 T= 0000 4348", 1e-3, 900, true, 150.0f},
      {"@253ACK1E-3;FF V852900;0010|HEATER TEMP 402 03 T= 0000", 1e-3, 900, true, 150.0f},
  };
  auto parse = [&](std::string text) { z.ParseSerialData(text.data()); };
  CaptureStderr();
  for (const auto& [text, pressure, speed, running, apci] : steps) {
    parse(text);
    EXPECT_EQ(std::tuple(z.pressureMbar.load(), z.pumpSpeed.load(), z.pumpRunning.load(),
                         z.apciReadback.load()),
              std::tuple(pressure, speed, running, apci))
        << text;
  }
  EXPECT_EQ(GetCapturedStderr(), "Pump data bad\n");

  z.heaterReadbacksInStatus = false;  // then the status carries none
  parse("@253ACK1E-3;FF V852900;0010|HEATER TEMP 402 01 T= 0000 4348");
  EXPECT_FLOAT_EQ(z.capillaryReadback, 20.0f);

  auto parseFrame = [&](const std::string& frame, size_t length) {
    ZylTestPeer::parseStatusFrame(z, frame.data(), length);
  };
  // Applied in turn (whole frames are StatusSimTest's). Markers count only near the start of
  // their fields and up to the received end; without one the values stay (no reset).
  const std::string far(18, ' '), near(17, ' ');
  const std::tuple<std::string, std::string, size_t, double, int, bool> frameSteps[] = {
      {"@253ACK2.50E-06;FF", "V852950;0010", 218, 2.5e-6, 950, true},
      {far + "@253ACK1.0E-3", far.substr(3) + "V852100;0000", 218, 2.5e-6, 950, true},
      {near + "@253ACK1.0E-3", near.substr(3) + "V852100;0000", 218, 1e-3, 100, false},
      {"@253ACK3.0E-3;FF", "V852420;0010", 139, 1e-3, 100, false},  // just past "@253ACK"
      {"@253ACK3.0E-3;FF", "V852420;0010", 210, 3e-3, 420, true},
  };
  for (const auto& [gauge, pump, length, pressure, speed, running] : frameSteps) {
    parseFrame(v3Frame(gauge, pump), length);
    EXPECT_EQ(std::tuple(z.pressureMbar.load(), z.pumpSpeed.load(), z.pumpRunning.load()),
              std::tuple(pressure, speed, running))
        << gauge << " " << length;
  }
  // Heater group 1 ends at 207; groups beyond the end or without a hexadecimal number stay.
  std::string frame = v3Frame("", "", " 0000 0011 0002 0003");
  z.digitalInputs = 0;
  parseFrame(frame, 130);
  EXPECT_EQ(z.digitalInputs, 0);
  parseFrame(frame, 210);
  EXPECT_FLOAT_EQ(z.capillaryReadback, 17.0f);
  EXPECT_FLOAT_EQ(z.desolvationReadback, 200.0f);
  frame.replace(0, 4, "zz00");
  frame.replace(203, 5, " xyzw");
  z.adcChannels[0] = 0x1234;
  parseFrame(frame, 218);
  EXPECT_EQ(z.adcChannels[0], 0x1234);
  EXPECT_FLOAT_EQ(z.capillaryReadback, 17.0f);
  EXPECT_FLOAT_EQ(z.desolvationReadback, 2.0f);
}

}  // namespace
}  // namespace zyl::test
