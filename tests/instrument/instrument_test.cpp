// The instrument object: debug log, connection sequence, firmware flags and the text utilities.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/link_fixture.h"
#include "support/zyl_test_peer.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

namespace fs = std::filesystem;

using InstrumentTest = FakeLinkTest;

int callbacks = 0;
void countCallback() {
  ++callbacks;
}

// Lines append across objects, each with its elapsed seconds, and call the callback; the first
// line of a connection names the back end. Without a log (none asked for, or one that cannot be
// opened) the last message is still kept, cut to its buffer, and no callback comes.
TEST_F(InstrumentTest, DebugLogAppendsAcrossObjectsWithElapsedSecondsAndKeepsTheLastMessage) {
  fake->devices = 0;  // nothing answers: the log holds just what the test writes
  const fs::path dir = fs::temp_directory_path() / ("zyl-log-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  callbacks = 0;
  {
    ZylInterface first(dir.c_str());
    first.SetDebugCallback(&countCallback);
    clock.advance(1500);
    ZylTestPeer::debugOut(first, "value %d", 42);
    clock.advance(250);
    ZylTestPeer::debugOut(first, "%s", "second");
    EXPECT_EQ(callbacks, 2);
  }
  fake->devices = 1;
  { ZylInterface second(dir.c_str()); }

  std::ifstream in(dir / "ZylDebug.out");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find(' ')));
  fs::remove_all(dir);
  ASSERT_GE(lines.size(), 5u);  // "-1B05" of each construction, then the second one opens
  lines.resize(5);
  EXPECT_EQ(lines,
            (std::vector<std::string>{" (0.000000) -1B05", " (1.500000) value 42",
                                      " (0.250000) second", " (0.000000) -1B05",
                                      " (0.000000) Instrument opened through the fake back end"}));

  ZylInterface z;
  z.SetDebugCallback(&countCallback);
  const std::string huge(5000, 'm');
  ZylTestPeer::debugOut(z, "%s", huge.c_str());
  char out[1024];
  z.GetDebugString(out);
  EXPECT_EQ(std::string(out), huge.substr(0, 1023));
  EXPECT_EQ(callbacks, 2);
  ZylInterface unopenable("/nonexistent/zyl/deeper");
  EXPECT_EQ(unopenable.debugLogFile, nullptr);
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
    EXPECT_FALSE(fake->writes("-1B3000").empty());
  }
  // A failing status read stops the initialisation with the state unchanged.
  fake->responder = [answer = fake->responder](std::string_view c) {
    return c == "-1B3000" ? std::nullopt : answer(c);
  };
  ZylInterface old;
  EXPECT_EQ(old.GetCommunicationState(), CommNoResponse);
  EXPECT_TRUE(old.settingsLoaded);
}

// A version reply that fills the buffer keeps 79 characters.
TEST_F(InstrumentTest, InitializeSettingsBeforeTheVersionReadOnlyReadsIt) {
  fake->devices = 0;
  ZylInterface z;
  fake->devices = 1;
  const std::string eighty = "VERSION" + std::string(73, '9');
  fake->version = eighty;
  EXPECT_EQ(z.InitializeSettings(), CommNotConnected);
  EXPECT_EQ(std::tuple(z.firmwareVersionRead, std::string(z.firmwareVersion), z.settingsLoaded),
            std::tuple(true, eighty.substr(0, 79), false));
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
  // Inserted text is never searched again.
  for (auto [text, from, to, want] :
       {std::tuple<std::string, const char*, const char*, const char*>("aa", "a", "aa", "aaaa"),
        {"<x>&<y>", "<", "&lt;", "&lt;x>&&lt;y>"}}) {
    ZylTestPeer::replaceAll(z, text, from, to);
    EXPECT_EQ(text, want);
  }
}

}  // namespace
}  // namespace zyl::test
