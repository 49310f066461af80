#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "config/xml/Reader.h"
#include "config/xml/Text.h"
#include "config/xml/Tracker.h"
#include "config/xml/Writer.h"
#include "config/xmllint.h"
#include "zyl/FlashMemory.h"

namespace {

using FlashMemory::c_flashMemory;
using namespace zyl::xml;

const std::string kRequired =
    "<hardwareVersion>Beta</hardwareVersion><frequency>00015000</frequency>"
    "<massPot>7F</massPot><sourcePSU>Spellman MX8PN24/720</sourcePSU>"
    "<lensPSU>Applied MS009MZZ652</lensPSU><dynodePSU>Spellman MXP10PN/15</dynodePSU>"
    "<capillaryHeater>Watlow PM3 Series</capillaryHeater>"
    "<desolvationGasHeater>Watlow PM3 Series</desolvationGasHeater>"
    "<apciGasHeater>Watlow PM3 Series</apciGasHeater><serialNumber></serialNumber>"
    "<qcData></qcData>";

std::string document(const std::string& children) {
  return "<flashMemory>" + children + "</flashMemory>";
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

// A record with every field set to something other than its initial value.
c_flashMemory fullRecord() {
  c_flashMemory r;
  r.set_version(L"2.1");
  r.set_hardwareVersion(L"Gamma");
  r.set_frequency(L"00000ABC");
  r.set_massPot(L"05");
  r.set_sourcePSU(L"a");
  r.set_lensPSU(L"b");
  r.set_dynodePSU(L"c");
  r.set_capillaryHeater(L"d");
  r.set_desolvationGasHeater(L"e");
  r.set_apciGasHeater(L"f");
  r.set_serialNumber(L" SN <&> \"q\" \u00e9\u4e2d\U0001F600 ");
  r.set_qcData("<run id=\"1\"><!-- c --><![CDATA[<x>&]]>&amp;&#x41;<e/></run>");
  r.set_piraniType(L"Internal");
  r.set_housingType(L"Generation 2");
  r.set_headAmpType(L"Fast Amp");
  r.set_rfBoxType(L"Si5351 Adjustable");
  return r;
}

void expectSameFields(const c_flashMemory& a, const c_flashMemory& b) {
  std::string ta, tb;
  a.marshal(ta);
  b.marshal(tb);
  EXPECT_EQ(ta, tb);
  EXPECT_EQ(a.isset_version(), b.isset_version());
  EXPECT_EQ(a.isset_piraniType(), b.isset_piraniType());
  EXPECT_EQ(a.isset_rfBoxType(), b.isset_rfBoxType());
}

TEST(FlashRecord, FreshRecordWritesTheRequiredElementsWithInitialValues) {
  const c_flashMemory fresh;
  std::string text;
  ASSERT_EQ(fresh.marshal(text), kOk);
  EXPECT_EQ(text, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + document(kRequired));

  c_flashMemory back;
  back.set_hardwareVersion(L"changed");
  ASSERT_EQ(back.unmarshal(text), kOk);
  expectSameFields(back, fresh);
  EXPECT_EQ(back.get_hardwareVersion(), L"Beta");
  EXPECT_FALSE(back.isset_piraniType());
  EXPECT_EQ(back.get_piraniType(), L"External");
  EXPECT_FALSE(back.isset_version());
}

TEST(FlashRecord, EveryFieldRoundTripsThroughEachWriterLayout) {
  const c_flashMemory full = fullRecord();
  for (const WriterSettings settings :
       {WriterSettings{false, "", ""}, WriterSettings{true, "  ", "\n"}}) {
    std::string text;
    Writer writer(text, settings);
    ASSERT_EQ(full.marshal(writer, "flashMemory"), kOk);
    EXPECT_NE(text.find("<qcData>" + full.get_qcData() + "</qcData>"), std::string::npos)
        << "raw content is written back byte for byte";
    int error = -1;
    const c_flashMemory back(text, &error);
    ASSERT_EQ(error, kOk) << text;
    expectSameFields(back, full);
    EXPECT_EQ(back.get_serialNumber(), full.get_serialNumber());
    EXPECT_EQ(back.get_qcData(), full.get_qcData());
    EXPECT_EQ(back.get_version(), L"2.1");
  }

  // Optional elements are written only while set.
  c_flashMemory some = full;
  some.unset_piraniType();
  some.unset_rfBoxType();
  some.unset_version();
  std::string text;
  some.marshal(text);
  EXPECT_EQ(text.find("piraniType"), std::string::npos);
  EXPECT_EQ(text.find("<flashMemory version="), std::string::npos);
  c_flashMemory back;
  ASSERT_EQ(back.unmarshal(text), kOk);
  EXPECT_FALSE(back.isset_piraniType());
  EXPECT_TRUE(back.isset_housingType());
  EXPECT_TRUE(back.isset_headAmpType());
  EXPECT_FALSE(back.isset_rfBoxType());
  EXPECT_EQ(back.get_housingType(), L"Generation 2");
}

TEST(FlashRecord, QcDataComesBackAsTheSourceBytes) {
  const std::string qc = "\n <a x='1'>t&lt;</a>\n <!--k--><![CDATA[ ]]>&#233;<b/>\n";
  c_flashMemory r;
  ASSERT_EQ(r.unmarshal(
                document(replaced(kRequired, "<qcData></qcData>", "<qcData>" + qc + "</qcData>"))),
            kOk);
  EXPECT_EQ(r.get_qcData(), qc);
  std::string text;
  r.marshal(text);
  EXPECT_NE(text.find("<qcData>" + qc + "</qcData>"), std::string::npos);
}

TEST(FlashRecord, DocumentsOutOfShapeAreRefused) {
  const std::string optional = "<piraniType>I</piraniType><housingType>H</housingType>";
  struct Case {
    std::string text;
    int code;
  };
  const Case cases[] = {
      {"<flash>" + kRequired + "</flash>", kWrongRoot},
      {"<flashMemory xmlns='urn:x'>" + kRequired + "</flashMemory>", kWrongRoot},
      {document(replaced(kRequired, "<hardwareVersion>Beta</hardwareVersion>", "")),
       kMissingElement},
      {document("<frequency>1</frequency><hardwareVersion>B</hardwareVersion>"), kMissingElement},
      {document(replaced(kRequired, "<qcData></qcData>", "")), kMissingElement},
      {document(kRequired + "<housingType>H</housingType><piraniType>I</piraniType>"),
       kMissingElement},
      {document(kRequired + optional + "<piraniType>I</piraniType>"), kMissingElement},
      {document(kRequired + "<unknown/>"), kMissingElement},
      {document(replaced(kRequired, "Beta", "<b>Beta</b>")), kBadValue},
      {document(kRequired + "stray text"), kBadValue},
      {document(kRequired + "<x>"), kMalformed},
      {document(replaced(kRequired, "Beta", "B&unknown;")), kMalformed},
      {document(kRequired) + "<second/>", kMalformed},
      {document(kRequired).substr(0, 40), kMalformed},
      {"", kMalformed},
  };
  for (const Case& c : cases) {
    c_flashMemory r;
    EXPECT_EQ(r.unmarshal(c.text), c.code) << c.text;
  }
  c_flashMemory r;
  EXPECT_EQ(r.unmarshal(document(kRequired + optional)), kOk) << "optional elements in order";
  EXPECT_TRUE(r.isset_housingType());
}

TEST(FlashRecord, FailedReadKeepsWhatWasReadBeforeAndTouchesNothingAfter) {
  const std::string cut =
      "<flashMemory version='9'><hardwareVersion>H</hardwareVersion>"
      "<frequency>F</frequency><massPot>7";
  c_flashMemory r;
  r.set_massPot(L"before");
  EXPECT_EQ(r.unmarshal(cut.data(), cut.size()), kMalformed);
  EXPECT_EQ(r.get_version(), L"9");
  EXPECT_EQ(r.get_hardwareVersion(), L"H");
  EXPECT_EQ(r.get_frequency(), L"F");
  EXPECT_EQ(r.get_massPot(), L"before");
  EXPECT_EQ(r.get_sourcePSU(), L"Spellman MX8PN24/720");

  Tracker tracker;
  EXPECT_FALSE(r.check(tracker, "flash"));
  EXPECT_EQ(tracker.error(), "flash/sourcePSU");
}

TEST(FlashRecord, CheckNamesTheFirstMissingRequiredElement) {
  c_flashMemory r;
  Tracker tracker;
  tracker.setItem("outer");
  EXPECT_FALSE(r.check(tracker, "config"));
  EXPECT_EQ(tracker.error(), "config/hardwareVersion");
  EXPECT_EQ(tracker.item(), "outer");

  r.set_hardwareVersion(L"x");
  r.set_frequency(L"x");
  r.set_massPot(L"x");
  r.set_sourcePSU(L"x");
  r.set_lensPSU(L"x");
  r.set_dynodePSU(L"x");
  r.set_capillaryHeater(L"x");
  r.set_desolvationGasHeater(L"x");
  r.set_apciGasHeater(L"x");
  Tracker second;
  EXPECT_FALSE(r.is_occurs_ok(second));
  EXPECT_EQ(second.error(), "/serialNumber");
  r.set_serialNumber(L"");
  Tracker third;
  EXPECT_TRUE(r.check(third, "config")) << "qcData and the optional fields are not checked";
  EXPECT_TRUE(third.ok());
  EXPECT_TRUE(c_flashMemory::ns_map().empty());
}

TEST(FlashRecord, ValueSemantics) {
  const c_flashMemory full = fullRecord();
  c_flashMemory copy(full);
  expectSameFields(copy, full);
  c_flashMemory assigned;
  assigned = full;
  expectSameFields(assigned, full);
  std::unique_ptr<c_flashMemory> cloned(full.clone());
  expectSameFields(*cloned, full);

  c_flashMemory fresh;
  fresh.swap(copy);
  expectSameFields(fresh, full);
  expectSameFields(copy, c_flashMemory());

  fresh.reset();
  expectSameFields(fresh, c_flashMemory());
  EXPECT_FALSE(fresh.isset_version());
  Tracker tracker;
  EXPECT_FALSE(fresh.is_occurs_ok(tracker)) << "reset clears the set flags";
}

TEST(FlashRecord, FilesStreamsReadersAndCapturedElements) {
  const c_flashMemory full = fullRecord();
  const auto dir =
      std::filesystem::temp_directory_path() / ("zyl_flash_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string narrow = (dir / "config.xml").string();
  const std::wstring wide = toWide(dir.string()) + L"/r\u00e9glage\U0001F600.xml";

  ASSERT_EQ(full.marshal(narrow.c_str()), kOk);
  ASSERT_EQ(full.marshal(wide.c_str()), kOk);
  EXPECT_TRUE(std::filesystem::exists(dir / "r\xC3\xA9glage\xF0\x9F\x98\x80.xml"))
      << "wide names are UTF-8 on disk";
  int error = -1;
  expectSameFields(c_flashMemory(narrow.c_str(), &error), full);
  EXPECT_EQ(error, kOk);
  expectSameFields(c_flashMemory(wide.c_str(), &error), full);
  EXPECT_EQ(error, kOk);
  c_flashMemory(static_cast<const char*>((dir / "absent.xml").c_str()), &error);
  EXPECT_EQ(error, kFileError);
  EXPECT_EQ(full.marshal((dir / "no" / "such" / "dir.xml").c_str()), kFileError);

  // A file that cannot be written to the end is removed again.
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int truncated = full.marshal((dir / "big.xml").c_str());
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(truncated, kFileError);
  EXPECT_FALSE(std::filesystem::exists(dir / "big.xml"));
  std::filesystem::remove_all(dir);

  std::ostringstream stream;
  stream << "prefix:";
  ASSERT_EQ(full.marshal(stream), kOk);
  std::string text;
  full.marshal(text);
  EXPECT_EQ(stream.str(), "prefix:" + text);
  std::ostringstream broken;
  broken.setstate(std::ios::badbit);
  EXPECT_EQ(full.marshal(broken), kFileError);

  const Reader reader(text);
  expectSameFields(c_flashMemory(reader, &error), full);
  EXPECT_EQ(error, kOk);

  // Embedded under a name of the caller's choosing, read back from the captured element.
  std::string outer;
  {
    Writer writer(outer, {false, "", ""});
    writer.startElement("instrument");
    full.marshal(writer, "settings");
    writer.endElement();
  }
  const Reader outerReader(outer);
  const Element settings = outerReader.root().firstChild();
  ASSERT_EQ(settings.name(), "settings");
  expectSameFields(c_flashMemory(settings, &error), full);
  EXPECT_EQ(error, kOk);
  EXPECT_EQ(c_flashMemory(outerReader, &error).isset_version(), false);
  EXPECT_EQ(error, kWrongRoot);
}

TEST(FlashRecord, WrittenDocumentsAreAcceptedByAnIndependentParser) {
  ZYL_REQUIRE_XMLLINT();
  c_flashMemory awkward = fullRecord();
  awkward.set_serialNumber(L"\x01\r\n]]>\uFFFF");
  const c_flashMemory fresh;
  const c_flashMemory full = fullRecord();
  for (const c_flashMemory* r : {&fresh, &full, static_cast<const c_flashMemory*>(&awkward)}) {
    std::string text;
    r->marshal(text);
    EXPECT_TRUE(zyl::xml::testing::xmllintAccepts(text)) << text;
  }
}

}  // namespace
