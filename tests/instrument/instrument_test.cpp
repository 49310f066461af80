// The instrument object: debug log, connection sequence, firmware flags and the text utilities.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "support/CommaLocale.h"
#include "support/LinkFixture.h"
#include "support/ZylTestPeer.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> readLines(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class InstrumentTest : public FakeLinkTest {
 protected:
  void SetUp() override {
    FakeLinkTest::SetUp();
    dir = fs::temp_directory_path() /
          ("zyl-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    fs::remove_all(dir);
    FakeLinkTest::TearDown();
  }
  fs::path dir;
};

int callbacks = 0;
void countCallback() {
  ++callbacks;
}

TEST_F(InstrumentTest, DebugLogLinesAppendAcrossObjectsWithElapsedSeconds) {
  fake->devices = 0;  // nothing answers: the log holds just what the tests write
  const fs::path log = dir / "ZylDebug.out";
  {
    ZylInterface first(dir.c_str());
    callbacks = 0;
    first.SetDebugCallback(&countCallback);
    clock.advance(1500);
    ZylTestPeer::debugOut(first, "value %d", 42);
    clock.advance(250);
    ZylTestPeer::debugOut(first, "%s", "second");
    EXPECT_EQ(callbacks, 2);
  }
  { ZylInterface second(dir.c_str()); }

  const auto lines = readLines(log);
  ASSERT_EQ(lines.size(), 4u);  // "-1B05" of each construction plus the two messages
  const std::regex shape(R"(^(\d+) \((\d+\.\d{6})\) (.*)$)");
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, shape)) << line;
  EXPECT_EQ(lines[0].substr(lines[0].find(' ')), " (0.000000) -1B05");
  EXPECT_EQ(lines[1].substr(lines[1].find(' ')), " (1.500000) value 42");
  EXPECT_EQ(lines[2].substr(lines[2].find(' ')), " (0.250000) second");
  EXPECT_EQ(lines[3].substr(lines[3].find(' ')), " (0.000000) -1B05");
  EXPECT_EQ(std::stoul(lines[2]) - std::stoul(lines[1]), 250u);
}

TEST_F(InstrumentTest, WithoutLogDirectoryMessagesAreKeptButNothingIsWritten) {
  fake->devices = 0;
  ZylInterface z;
  callbacks = 0;
  z.SetDebugCallback(&countCallback);
  ZylTestPeer::debugOut(z, "hello %s", "there");
  char out[1024];
  z.GetDebugString(out);
  EXPECT_STREQ(out, "hello there");
  EXPECT_EQ(callbacks, 0);
  EXPECT_TRUE(fs::is_empty(dir));

  // A message beyond the buffer is cut, not overrun.
  const std::string huge(5000, 'm');
  ZylTestPeer::debugOut(z, "%s", huge.c_str());
  z.GetDebugString(out);
  EXPECT_EQ(std::string(out), huge.substr(0, 1023));

  // A directory whose log path cannot be opened leaves the log off silently.
  ZylInterface unopenable((dir / "missing" / "deeper").c_str());
  EXPECT_EQ(unopenable.debugLogFile, nullptr);
}

TEST_F(InstrumentTest, VersionReplyFillingTheBufferKeepsSeventyNineCharacters) {
  const std::string eighty = "VERSION" + std::string(73, '9');
  fake->version = eighty;
  ZylInterface z;
  EXPECT_TRUE(z.firmwareVersionRead);
  EXPECT_EQ(std::string(z.firmwareVersion), eighty.substr(0, 79));
}

TEST_F(InstrumentTest, FirmwareGenerationFlagsFollowTheVersionText) {
  struct Case {
    const char* version;
    bool v2, v3, after030512, secondFlash;
  } cases[] = {
      {"VERSION130904A-V3", true, true, false, true},
      {"VERSION130904A-V2", true, false, true, true},
      {"VERSION110812", false, false, true, true},
      {"VERSION102412", false, false, true, false},  // "10" sorts before "11"
      {"VERSION030512", false, false, false, false},
      {"VERSION030513", false, false, true, false},
  };
  for (const Case& c : cases) {
    fake->version = c.version;
    ZylInterface z;
    SCOPED_TRACE(c.version);
    EXPECT_EQ(z.GetCommunicationState(), CommInitialized);
    EXPECT_EQ(z.firmwareV2, c.v2);
    EXPECT_EQ(z.firmwareV3, c.v3);
    EXPECT_EQ(z.IsV3(), c.v3);
    EXPECT_EQ(z.firmwareAfter030512, c.after030512);
    EXPECT_EQ(z.hasSecondFlash, c.secondFlash);
    EXPECT_EQ(z.piraniSelectSupported, c.secondFlash);
  }
}

TEST_F(InstrumentTest, InitialisationSetsOutputBitsByGeneration) {
  // Older firmware reads one status frame first; with the pump stopped the high word's bit 2 is
  // set, and bit 26 of the low word is set in every generation.
  fake->version = "VERSION110812";
  {
    ZylInterface z;
    ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
    EXPECT_EQ(z.digitalOutputs, 0x00000005F4000C8Full);
    EXPECT_EQ(z.dacDirty, 1u);
    EXPECT_TRUE(z.settingsLoaded);
    const auto writes = fake->writes();
    EXPECT_NE(std::find(writes.begin(), writes.end(), "-1B3000"), writes.end());
    EXPECT_EQ(writes.back(), "-1B21fffffffa0bfff370");
  }
  // V3 firmware reads no status frame and leaves the pump bit as it was.
  fake->version = "VERSION130904A-V3";
  fake->clearRecord();
  ZylInterface z;
  z.digitalOutputs = 0;
  z.communicationState = CommConnected;
  EXPECT_EQ(z.InitializeSettings(), CommInitialized);
  EXPECT_EQ(z.digitalOutputs, 0x04000000ull);
  for (const auto& w : fake->writes()) EXPECT_NE(w, "-1B3000");

  // A failing status read stops the initialisation with the state unchanged.
  fake->version = "VERSION110812";
  auto answer = fake->responder;
  fake->responder = [&](std::string_view c) -> std::optional<std::string> {
    if (c == "-1B3000") return std::nullopt;
    return answer(c);
  };
  ZylInterface old;
  EXPECT_EQ(old.GetCommunicationState(), CommNoResponse);
  EXPECT_TRUE(old.settingsLoaded);
}

TEST_F(InstrumentTest, InitializeSettingsBeforeTheVersionReadOnlyReadsIt) {
  fake->devices = 0;
  ZylInterface z;
  fake->devices = 1;
  EXPECT_EQ(z.InitializeSettings(), CommNotConnected);
  EXPECT_TRUE(z.firmwareVersionRead);
  EXPECT_FALSE(z.settingsLoaded);
  EXPECT_EQ(z.InitializeSettings(), CommInitialized);
}

TEST_F(InstrumentTest, StatusStringUntouchedBeforeAnyStatusText) {
  ZylInterface z;
  char out[16] = "untouched";
  z.GetStatusString(out);
  EXPECT_STREQ(out, "untouched");
}

TEST_F(InstrumentTest, TextUtilities) {
  fake->devices = 0;
  ZylInterface z;
  std::vector<std::string> pieces{"stale"};
  std::string text = "a,,b";
  ZylTestPeer::split(z, text, pieces);
  EXPECT_EQ(pieces, (std::vector<std::string>{"a", "", "b"}));
  text = "a,b,";
  ZylTestPeer::split(z, text, pieces);
  EXPECT_EQ(pieces, (std::vector<std::string>{"a", "b", ""}));
  text = "";
  ZylTestPeer::split(z, text, pieces);
  EXPECT_EQ(pieces, (std::vector<std::string>{""}));

  text = "aa";
  ZylTestPeer::replaceAll(z, text, "a", "aa");
  EXPECT_EQ(text, "aaaa");
  text = "<x>&<y>";
  ZylTestPeer::replaceAll(z, text, "<", "&lt;");
  EXPECT_EQ(text, "&lt;x>&&lt;y>");
}

TEST_F(InstrumentTest, EnglishFloatsReadUnderACommaLocale) {
  fake->devices = 0;
  ZylInterface z;
  CommaLocale locale;
  if (!locale.ok()) GTEST_SKIP() << CommaLocale::kMissing;
  char text[] = "12.5 mbar";
  double value = 0;
  char* end = ZylTestPeer::readEnglishLocaleFloat(z, text, &value);
  EXPECT_DOUBLE_EQ(value, 12.5);
  EXPECT_STREQ(text, "12,5 mbar");
  EXPECT_STREQ(end, " mbar");
}

}  // namespace
}  // namespace zyl::test
