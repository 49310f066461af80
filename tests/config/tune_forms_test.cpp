#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/tune/forms.h"
#include "config/xmllint.h"

namespace zyl::tune {
namespace {

// A host's document: two scan speeds of three and five segments, no simple calibration, and
// things the library knows nothing of (comments, a namespaced extension, mixed content,
// schema attributes) that must come back unchanged.
constexpr const char* kHostTune =
    R"(<?xml version="1.0"?>
<tuneParameters xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
    xsi:noNamespaceSchemaLocation="tune.xsd" version="2.0" owner="lab &amp; co">
  <!-- set by the host -->
  <lens id="1">12.5</lens>
  <massCalibration>
    <calibration speed="100"><segment n="1"><a>1</a></segment><segment n="2"/><segment n="3"/></calibration>
    <calibration speed="500"><segment n="4"/><segment n="5"/><segment n="6"/><segment n="7"/><segment n="8"/></calibration>
  </massCalibration>
  <note>text <b>bold</b> tail</note>
  <v:ext xmlns:v="urn:v" v:k="x"><v:y>&#xE9;</v:y></v:ext>
</tuneParameters>)";

TEST(TuneForms, SimplifiedAndFullFormsOfAMassCalibration) {
  std::string simplified, full;
  ASSERT_TRUE(simplifyTune(kHostTune, false, simplified));
  EXPECT_EQ(simplified,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<tuneParameters "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
            "xsi:noNamespaceSchemaLocation=\"tune.xsd\" version=\"1.2\" owner=\"lab &amp; co\">\n"
            "  <lens id=\"1\">12.5</lens>\n"
            "  <calibration>\n"
            "    <segment n=\"1\">\n"
            "      <a>1</a>\n"
            "    </segment>\n"
            "    <segment n=\"2\"></segment>\n"
            "    <segment n=\"3\"></segment>\n"
            "  </calibration>\n"
            "  <note>text <b>bold</b> tail</note>\n"
            "  <ext xmlns=\"urn:v\" xmlns:ns2=\"urn:v\" ns2:k=\"x\">\n"
            "    <y>\xC3\xA9</y>\n"
            "  </ext>\n"
            "</tuneParameters>");

  // The full form is the host's document as it came, on one line.
  ASSERT_TRUE(simplifyTune(kHostTune, true, full));
  std::string asItCame;
  ASSERT_TRUE(rewrite(Kind::Tune, kHostTune, std::strlen(kHostTune), kFullTuneForm, asItCame));
  EXPECT_EQ(full, asItCame);
  EXPECT_EQ(full.find('\n'), std::string::npos);
  EXPECT_NE(full.find("<segment n=\"8\"></segment></calibration></massCalibration>"),
            std::string::npos);
  // That a handed-out form is a fixed point is the tune fuzz target's check, replayed in ctest.
  ZYL_REQUIRE_XMLLINT();
  EXPECT_TRUE(xml::testing::xmllintAccepts(simplified));
  EXPECT_TRUE(xml::testing::xmllintAccepts(full));
}

TEST(TuneForms, WhichSimpleCalibrationTheSimplifiedFormKeeps) {
  const std::string mass =
      "<massCalibration><calibration><segment>m1</segment><segment>m2</segment></calibration>"
      "</massCalibration>";
  struct Case {
    std::string body;
    std::string expectedBody;
  };
  const Case cases[] = {
      // A simple calibration with segments wins over the mass calibration.
      {"<calibration><segment>own</segment></calibration>" + mass,
       "<calibration><segment>own</segment></calibration>"},
      // An empty one is replaced in place.
      {"<x/><calibration/><y/>" + mass,
       "<x></x><calibration><segment>m1</segment><segment>m2</segment></calibration><y></y>"},
      // Without a speed calibration an empty one stays empty.
      {"<calibration/><massCalibration/>", "<calibration></calibration>"},
      {"<z/>", "<z></z>"},
  };
  for (const Case& c : cases) {
    const std::string text = "<tuneParameters version=\"1\">" + c.body + "</tuneParameters>";
    std::string out;
    ASSERT_TRUE(simplifyTune(text.c_str(), false, out)) << c.body;
    std::string compact;
    ASSERT_TRUE(rewrite(Kind::Tune, out.c_str(), out.size(), {false, "", ""}, compact));
    EXPECT_EQ(compact, "<tuneParameters version=\"1.2\">" + c.expectedBody + "</tuneParameters>")
        << c.body;
  }
}

TEST(TuneForms, RefusedTexts) {
  // Nested deeper than the tree takes, otherwise well-formed.
  std::string out, nested = "<tuneParameters>";
  for (int i = 0; i < 300; ++i) nested.insert(16, "<a>").append("</a>");
  nested += "</tuneParameters>";
  for (const char* bad :
       {"", "<tuneParameters>", "<tune/>", "<ionSourceOptimization/>",
        "<tuneParameters xmlns:p=\"urn:p\"><m>t<p:b/></m></tuneParameters>", nested.c_str()}) {
    EXPECT_FALSE(simplifyTune(bad, false, out)) << bad;
    EXPECT_FALSE(rewrite(Kind::Tune, bad, std::strlen(bad), kFormattedOutput, out)) << bad;
  }
  EXPECT_FALSE(simplifyTune(nullptr, true, out));
}

}  // namespace
}  // namespace zyl::tune
