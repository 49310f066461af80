// The default tune and ion-source slots against the simulated instrument: what each setter
// stores where, what the getters hand back after a save and a fresh connection, and what is
// refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/tune/forms.h"
#include "support/sim_fixture.h"
#include "support/zyl_test_peer.h"
#include "zyl/ZylInterface.h"

namespace zyl::test {
namespace {

constexpr size_t kSimplified = 4096, kFull = 10240, kIon = 1024;

std::string tuneDocument(const std::string& tag, const std::string& extra = "") {
  return "<?xml version=\"1.0\"?><tuneParameters xmlns:xsi=\"http://www.w3.org/2001/"
         "XMLSchema-instance\" xsi:type=\"t\"><host tag=\"" +
         tag + "\"><deep>&lt;kept&gt;</deep></host><massCalibration><calibration><segment>" + tag +
         "</segment></calibration></massCalibration>" + extra + "</tuneParameters>";
}

std::string stored(const std::string& xml, bool full) {
  std::string out;
  EXPECT_TRUE(tune::simplifyTune(xml.c_str(), full, out));
  return out;
}

std::string formatted(const std::string& xml) {
  char* text = ZylInterface().FormatTuneXML(xml.c_str());
  std::string copy = text == nullptr ? "" : text;
  std::free(text);
  return copy;
}

class TuneSlots : public SimTest {
 protected:
  void SetUp() override { connect("VERSION130904A-V3"); }
  void connect(const char* version) {
    z.reset();
    plug({.firmwareVersion = version});
    z = std::make_unique<ZylInterface>();
    ASSERT_EQ(z->GetCommunicationState(), CommInitialized);
  }

  unsigned char* slot(bool ion, bool groupA, bool alternate, bool full) {
    return ZylTestPeer::getFlashAddr(*z, ion, groupA, alternate, full);
  }
  std::string slotText(bool ion, bool groupA, bool alternate, bool full, size_t size) {
    const auto* p = reinterpret_cast<const char*>(slot(ion, groupA, alternate, full));
    return std::string(p, strnlen(p, size));
  }
  std::string get(bool groupA, bool alternate) {
    std::vector<char> out(kFull, 'x');
    EXPECT_TRUE(z->GetDefaultTuneParameters(out.data(), groupA, alternate));
    return out.data();
  }

  std::unique_ptr<ZylInterface> z;
};

TEST_F(TuneSlots, FourPositionsOfEachKindSurviveSaveAndReconnect) {
  const bool positions[4][2] = {{true, false}, {true, true}, {false, false}, {false, true}};
  std::string ion = "<ionSourceOptimization><gas unit=\"l/min\">1.5</gas>";
  const std::vector<unsigned char> volatileDocument(z->secondFlashImage, z->secondFlashImage + 512);
  // Each position is written in turn; reading all four back after a reconnection shows that
  // none overwrote another.
  for (int i = 0; i < 4; ++i) {
    const auto [groupA, alternate] = positions[i];
    std::string doc = tuneDocument("p" + std::to_string(i));
    ASSERT_EQ(z->SetDefaultTuneParameters(doc.data(), groupA, alternate), 0u);
    std::string ionDoc = ion + "<n>" + std::to_string(i) + "</n></ionSourceOptimization>";
    ASSERT_EQ(z->SetDefaultIonSourceOptimization(ionDoc.data(), groupA, alternate), 0u);
    EXPECT_EQ(slotText(false, groupA, alternate, false, kSimplified), stored(doc, false));
    EXPECT_EQ(slotText(false, groupA, alternate, true, kFull), stored(doc, true));
  }
  EXPECT_EQ(std::memcmp(z->secondFlashImage, volatileDocument.data(), 512), 0);
  ASSERT_EQ(z->SaveDefaultTuneIonSettings(), 0u);
  z = std::make_unique<ZylInterface>();  // reads region 1 again while connecting
  for (int i = 0; i < 4; ++i) {
    const auto [groupA, alternate] = positions[i];
    const std::string doc = tuneDocument("p" + std::to_string(i));
    // The full form comes back, everything the host put in it included.
    const std::string text = get(groupA, alternate);
    EXPECT_EQ(text, formatted(doc));
    EXPECT_NE(text.find("<deep>&lt;kept&gt;</deep>"), std::string::npos);
    EXPECT_NE(text.find("xsi:type=\"t\""), std::string::npos);
    std::vector<char> out(kIon);
    ASSERT_TRUE(z->GetDefaultIonSourceOptimization(out.data(), groupA, alternate));
    EXPECT_EQ(std::string(out.data()),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ionSourceOptimization>\n"
              "    <gas unit=\"l/min\">1.5</gas>\n    <n>" +
                  std::to_string(i) + "</n>\n</ionSourceOptimization>");
  }
  // Clearing empties both tune slots of a position; reading it gives an empty text.
  ASSERT_EQ(z->SetDefaultTuneParameters(nullptr, true, false), 0u);
  EXPECT_EQ(get(true, false), "");
  EXPECT_EQ(get(true, true), formatted(tuneDocument("p1")));
}

TEST_F(TuneSlots, RefusalsAndTheFallBackToTheSimplifiedForm) {
  std::string old = tuneDocument("old");
  ASSERT_EQ(z->SetDefaultTuneParameters(old.data(), true, false), 0u);
  const std::vector<unsigned char> image(z->secondFlashImage, std::end(z->secondFlashImage));

  // A simplified form of one byte more than its slot changes nothing; one of exactly its size
  // fills the slot without a terminating zero and still reads back whole, the document in the
  // next slot notwithstanding.
  const auto padded = [](size_t n) {
    return tuneDocument("new", "<pad>" + std::string(n, 'x') + "</pad>");
  };
  const size_t room = kSimplified - stored(padded(0), false).size();
  std::string fits = padded(room), over = padded(room + 1);
  ASSERT_EQ(stored(fits, false).size(), kSimplified);
  EXPECT_EQ(z->SetDefaultTuneParameters(over.data(), true, false), 1u);
  EXPECT_EQ(std::memcmp(z->secondFlashImage, image.data(), image.size()), 0);

  ASSERT_EQ(z->SetDefaultTuneParameters(old.data(), true, true), 0u);
  ASSERT_EQ(z->SetDefaultTuneParameters(fits.data(), true, false), 0u);
  EXPECT_NE(slot(false, true, false, false)[kSimplified - 1], 0);
  std::memset(slot(false, true, false, true), 0, kFull);
  // Formatted, it no longer fits 4,096 bytes with its zero, and is cut.
  EXPECT_EQ(get(true, false), formatted(stored(fits, false)).substr(0, kSimplified - 1));

  // A full form too long for its slot leaves the new simplified form beside the old full one.
  std::string speeds;
  for (int i = 0; i < 40; ++i) speeds += "<calibration>" + std::string(300, 's') + "</calibration>";
  std::string bulky =
      "<tuneParameters><massCalibration><calibration><segment>first</segment>"
      "</calibration>" +
      speeds + "</massCalibration></tuneParameters>";
  ASSERT_EQ(z->SetDefaultTuneParameters(old.data(), false, true), 0u);
  EXPECT_EQ(z->SetDefaultTuneParameters(bulky.data(), false, true), 1u);
  EXPECT_EQ(slotText(false, false, true, false, kSimplified), stored(bulky, false));
  EXPECT_EQ(slotText(false, false, true, true, kFull), stored(old, true));
  EXPECT_EQ(get(false, true), formatted(old));

  // Text with another root is refused; a stored text that no longer parses reads as empty.
  std::string ionRoot = "<ionSourceOptimization/>", tuneRoot = "<tuneParameters/>";
  EXPECT_EQ(z->SetDefaultTuneParameters(ionRoot.data(), false, true), 1u);
  EXPECT_EQ(z->SetDefaultIonSourceOptimization(tuneRoot.data(), false, true), 1u);
  std::memcpy(slot(false, false, true, true), "<?xml broken", 13);
  EXPECT_EQ(get(false, true), "");
}

// Before the settings load, the getter reads region 1 where the firmware has one, and gives false
// when that read fails; without one the setters change only the image and nothing is read.
TEST_F(TuneSlots, BeforeTheSettingsLoadTheGetterReadsRegionOne) {
  struct Case {
    const char* version;
    bool readFails, result;
  };
  for (Case c : {Case{"VERSION102412", false, false},
                 {"VERSION130904A-V3", true, false},
                 {"VERSION130904A-V3", false, true}}) {
    SCOPED_TRACE(testing::Message() << c.version << " " << c.readFails);
    connect(c.version);
    const bool secondRegion = c.readFails || c.result;
    std::string doc = tuneDocument("a");
    EXPECT_EQ(z->SetDefaultTuneParameters(doc.data(), true, true), 0u);
    EXPECT_EQ(z->SaveDefaultTuneIonSettings(), secondRegion ? 0u : 1u);
    z->settingsLoaded = false;
    instrument->clearTrace();
    if (c.readFails) instrument->inject({.kind = sim::FaultKind::FailedWrite, .command = "61"});
    std::vector<char> out(kFull, 'x');
    EXPECT_EQ(z->GetDefaultTuneParameters(out.data(), true, true), c.result);
    EXPECT_EQ(out.data(), c.result ? formatted(doc) : "");
    const auto t = instrument->trace();
    EXPECT_EQ(std::any_of(t.begin(), t.end(), [](const auto& e) { return e.text() == "-1B6301"; }),
              secondRegion);
  }
}

}  // namespace
}  // namespace zyl::test
