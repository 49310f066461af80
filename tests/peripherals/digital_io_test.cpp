// Digital and analog I/O: exact command texts through the scripted fake, decoded by the simulator.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "peripherals/serial_sim_fixture.h"
#include "sim/controller_io.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

constexpr uint64_t kDefaultOutputs = 0x00000005F0000C8Full;
constexpr uint64_t kChannel14Group =
    (uint64_t{1} << 9) | (uint64_t{1} << 14) | (uint64_t{1} << 24) | (uint64_t{1} << 25);

std::string outputCommand(uint64_t stored) {
  char text[32];
  std::snprintf(text, sizeof text, "-1B21%016llx", static_cast<unsigned long long>(~stored));
  return text;
}

class DigitalIoTest : public ConnectedFakeTest {
 protected:
  // A connected instrument object whose output word is back at its construction value.
  void SetUp() override {
    ConnectedFakeTest::SetUp();
    z->digitalOutputs = kDefaultOutputs;
    z->dacDirty = 0;
  }
  std::vector<std::string> sent() {
    auto w = fake->writes();
    fake->clearRecord();
    return w;
  }
};

TEST_F(DigitalIoTest, EachChannelSwitchesItsOwnBitAndChannelFourteenItsGroup) {
  // Every output starts off, so switching one on flips exactly its bit, whichever way it is wired.
  for (int ch = 0; ch < 70; ++ch) {
    const auto c = static_cast<unsigned char>(ch);
    z->digitalOutputs = kDefaultOutputs;
    z->dacDirty = 0;
    EXPECT_EQ(z->GetDigOut(c), 0) << ch;
    EXPECT_EQ(z->SetDigOut(c, 1), ZYL_SUCCESS);
    EXPECT_EQ(z->dacDirty, 1u) << ch;
    const uint64_t flipped = ch == 14 ? kChannel14Group : ch < 64 ? uint64_t{1} << ch : 0;
    EXPECT_EQ(sent(), std::vector<std::string>{outputCommand(kDefaultOutputs ^ flipped)}) << ch;
    EXPECT_EQ(z->GetDigOut(c), ch < 64 ? 1 : 0) << ch;
    EXPECT_EQ(z->GetDigOut(9), ch == 9 || ch == 14 ? 1 : 0) << ch;
    z->SetDigOut(c, 0);
    EXPECT_EQ(z->digitalOutputs, kDefaultOutputs) << ch;
    fake->clearRecord();
  }
}

TEST_F(DigitalIoTest, DeferredAndOutOfRangeChannelsAndNoConnection) {
  EXPECT_EQ(z->SetDigOut(5, 1, 0), ZYL_SUCCESS);
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(z->WriteDigitalOut(), ZYL_SUCCESS);
  EXPECT_EQ(sent(), std::vector<std::string>{outputCommand(kDefaultOutputs | 0x20)});

  z->dacDirty = 0;
  EXPECT_EQ(z->SetDigOut(70, 1), ZYL_SUCCESS);  // no bit, but marked and sent
  EXPECT_EQ(z->digitalOutputs, kDefaultOutputs | 0x20);
  EXPECT_EQ(z->dacDirty, 1u);
  EXPECT_EQ(sent().size(), 1u);

  fake->responder = [](std::string_view) { return std::optional<std::string>("NAK"); };
  EXPECT_EQ(z->SetDigOut(6, 1), ZYL_NOT_ACKNOWLEDGED);
  EXPECT_EQ(sent().size(), 1u);

  // Not connected: nothing goes out, the change is kept for the next write.
  z->communicationState = CommNoResponse;
  EXPECT_EQ(z->SetDigOut(8, 1), ZYL_COMM_FAILURE);
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(z->GetDigOut(8), 1);
}

TEST_F(DigitalIoTest, AnalogAndI2cCommandTexts) {
  EXPECT_EQ((std::array{z->SetAnalogOutput(0, 0x12AB, 2), z->SetAnalogOutput(9, 0x00ff, 10),
                        z->SetAnalogOutput(-3, 7, -1), z->ConfigureAnalogInput(3, 1),
                        z->ConfigureAnalogInput(12, -2), z->SetI2C(0x0A, 0xFF, 0x01)}),
            (std::array<unsigned int, 6>{}));
  EXPECT_EQ(sent(),
            (std::vector<std::string>{"-1B52010212AB", "-1B520100A00FF", "-1B520-20FFFFFFFF0007",
                                      "-1B530301", "-1B530120-2", "-1B540aff01"}));
  // These do not look at the connection first: the exchange itself reports it.
  z->communicationState = CommNotConnected;
  fake->unplugged = true;
  EXPECT_EQ(z->SetI2C(1, 2, 3), ZYL_COMM_FAILURE);
}

TEST_F(DigitalIoTest, InputsAndReadingsComeFromTheStatusRecord) {
  EXPECT_EQ(std::tuple(z->GetDigitalInput(0x8000, 15), z->GetDigitalInput(0xFFFF, 16)),
            std::tuple(1, 0));
  // V3 (the fake's default firmware): read straight from the record, never refreshed.
  z->digitalInputs = 0x8002;
  z->adcChannels[31] = 0x4321;
  EXPECT_EQ(std::tuple(z->GetDigIn(0), z->GetDigIn(1), z->GetDigIn(15), z->GetDigIn(16)),
            std::tuple(0, 1, 1, 0));
  EXPECT_EQ(std::tuple(z->ReadADC(31), z->ReadADC(32)), std::tuple(0x4321, 0));
  EXPECT_TRUE(sent().empty());

  // Older firmware: a refresh that fails reads 2 (ReadADC's is StatusRecordTest's).
  z->firmwareV3 = false;
  fake->responder = [](std::string_view) { return std::nullopt; };
  clock.advance(5000);
  testing::internal::CaptureStderr();
  EXPECT_EQ(z->GetDigIn(1), 2);
  testing::internal::GetCapturedStderr();
}

// The simulated controller decodes what the library encodes, on either generation.
using DigitalIoSimTest = SerialSimTest;
TEST_F(DigitalIoSimTest, TheControllerDecodesChannelValueAndMode) {
  for (const char* version : {"VERSION130904A-V3", "VERSION102412"}) {
    SCOPED_TRACE(version);
    plug(version);
    for (unsigned char channel : {0, 14, 33, 63}) ASSERT_EQ(z->SetDigOut(channel, 1), ZYL_SUCCESS);
    ASSERT_EQ(z->SetAnalogOutput(0, 0x12AB, 2), ZYL_SUCCESS);
    ASSERT_EQ(z->SetAnalogOutput(8, 0x00FF, 10), ZYL_SUCCESS);
    ASSERT_EQ(z->ConfigureAnalogInput(3, 7), ZYL_SUCCESS);
    ASSERT_EQ(z->SetI2C(0x0A, 0xFF, 0x01), ZYL_SUCCESS);
    const auto io = SimTest::firmware(
        [](sim::FirmwareContext& f) { return f.state().part<sim::ControllerIo>(); });
    EXPECT_EQ(~io.outputLines, z->digitalOutputs);
    EXPECT_EQ(std::tuple(io.analogOutputs.at(1).mode, io.analogOutputs.at(1).value,
                         io.analogOutputs.at(9).mode, io.analogOutputs.at(9).value),
              std::tuple(2, 0x12AB, 10, 0x00FF));
    EXPECT_EQ(io.analogInputSettings.at(3), 7);
    EXPECT_EQ(io.i2c, (std::array<uint8_t, 3>{0x0A, 0xFF, 0x01}));
  }
}

}  // namespace
}  // namespace zyl::test
