// The instrument object: debug log, connection sequence, firmware flags and the text utilities.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/LinkFixture.h"
#include "support/ZylTestPeer.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

namespace fs = std::filesystem;

using InstrumentTest = FakeLinkTest;

int callbacks = 0;
void countCallback() {
  ++callbacks;
}

TEST_F(InstrumentTest, DebugLogLinesAppendAcrossObjectsWithElapsedSeconds) {
  fake->devices = 0;  // nothing answers: the log holds just what the tests write
  const fs::path dir = fs::temp_directory_path() / ("zyl-log-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
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

  std::ifstream in(dir / "ZylDebug.out");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  fs::remove_all(dir);
  ASSERT_EQ(lines.size(), 4u);  // "-1B05" of each construction plus the two messages
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

  // A message beyond the buffer is cut, not overrun.
  const std::string huge(5000, 'm');
  ZylTestPeer::debugOut(z, "%s", huge.c_str());
  z.GetDebugString(out);
  EXPECT_EQ(std::string(out), huge.substr(0, 1023));

  // A directory whose log path cannot be opened leaves the log off silently.
  ZylInterface unopenable("/nonexistent/zyl/deeper");
  EXPECT_EQ(unopenable.debugLogFile, nullptr);
}

TEST_F(InstrumentTest, VersionReplyFillingTheBufferKeepsSeventyNineCharacters) {
  const std::string eighty = "VERSION" + std::string(73, '9');
  fake->version = eighty;
  ZylInterface z;
  EXPECT_TRUE(z.firmwareVersionRead);
  EXPECT_EQ(std::string(z.firmwareVersion), eighty.substr(0, 79));
}

TEST_F(InstrumentTest, InitialisationSetsOutputBitsByGeneration) {
  // Older firmware reads one status frame first; with the pump stopped the high word's bit 2 is
  // set (V3's exact words are CommandChannelTest's, its pump bit StatusSimTest's).
  fake->version = "VERSION110812";
  {
    ZylInterface z;
    ASSERT_EQ(z.GetCommunicationState(), CommInitialized);
    EXPECT_EQ(z.digitalOutputs, 0x00000005F4000C8Full);
    EXPECT_EQ(z.dacDirty, 1u);
    const auto writes = fake->writes();
    EXPECT_NE(std::find(writes.begin(), writes.end(), "-1B3000"), writes.end());
  }
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

TEST_F(InstrumentTest, TextUtilities) {
  fake->devices = 0;
  ZylInterface z;
  using Pieces = std::vector<std::string>;
  for (const auto& [text, expected] : {std::pair<std::string, Pieces>{"a,,b", {"a", "", "b"}},
                                       {"a,b,", {"a", "b", ""}},
                                       {"", {""}}}) {
    Pieces pieces{"stale"};
    std::string copy = text;
    ZylTestPeer::split(z, copy, pieces);
    EXPECT_EQ(pieces, expected) << text;
  }
  std::string text = "aa";
  ZylTestPeer::replaceAll(z, text, "a", "aa");
  EXPECT_EQ(text, "aaaa");
  text = "<x>&<y>";
  ZylTestPeer::replaceAll(z, text, "<", "&lt;");
  EXPECT_EQ(text, "&lt;x>&&lt;y>");
}

}  // namespace
}  // namespace zyl::test
