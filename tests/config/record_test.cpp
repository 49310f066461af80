// The two configuration records: round trips through every writer layout and every source and
// sink, refusal of documents out of shape, occurrence checks, value semantics.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>

#include "config/xml/reader.h"
#include "config/xml/text.h"
#include "config/xml/tracker.h"
#include "config/xml/writer.h"
#include "zyl/FlashMemory.h"
#include "zyl/VolatileFlashMemory.h"

namespace {

using FlashMemory::c_flashMemory;
using VolatileFlashMemory::c_volatileFlashMemory;
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
  r.set_qcData("\n <run id=\"1\"><!-- c --><![CDATA[<x>&]]>&amp;&#x41;<e/></run>\n");
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
  EXPECT_EQ(std::tuple(a.isset_version(), a.isset_piraniType(), a.isset_rfBoxType()),
            std::tuple(b.isset_version(), b.isset_piraniType(), b.isset_rfBoxType()));
}

TEST(FlashRecord, EveryFieldRoundTripsThroughEachWriterLayout) {
  const c_flashMemory fresh;
  std::string text;
  ASSERT_EQ(fresh.marshal(text), kOk);
  EXPECT_EQ(text, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + document(kRequired));
  c_flashMemory back;
  back.set_hardwareVersion(L"changed");
  ASSERT_EQ(back.unmarshal(text), kOk);
  expectSameFields(back, fresh);
  EXPECT_EQ(back.get_piraniType(), L"External");

  const c_flashMemory full = fullRecord();
  for (const WriterSettings settings :
       {WriterSettings{false, "", ""}, WriterSettings{true, "  ", "\n"}}) {
    text.clear();
    Writer writer(text, settings);
    ASSERT_EQ(full.marshal(writer, "flashMemory"), kOk);
    EXPECT_NE(text.find("<qcData>" + full.get_qcData() + "</qcData>"), std::string::npos)
        << "raw content is written back byte for byte";
    int error = -1;
    const c_flashMemory copy(text, &error);
    ASSERT_EQ(error, kOk) << text;
    expectSameFields(copy, full);  // the same text: every value written is read back
  }

  // Optional elements are written only while set.
  c_flashMemory some = full;
  some.unset_piraniType();
  some.unset_rfBoxType();
  some.unset_version();
  some.marshal(text);
  EXPECT_EQ(text.find("piraniType"), std::string::npos);
  EXPECT_EQ(text.find("<flashMemory version="), std::string::npos);
  ASSERT_EQ(back.unmarshal(text), kOk);
  EXPECT_EQ(std::tuple(back.isset_piraniType(), back.isset_headAmpType(), back.isset_rfBoxType(),
                       back.get_housingType()),
            std::tuple(false, true, false, L"Generation 2"));
}

TEST(FlashRecord, DocumentsOutOfShapeAreRefused) {
  const std::string optional = "<piraniType>I</piraniType><housingType>H</housingType>";
  const struct {
    std::string text;
    int code;
  } cases[] = {
      {document(kRequired + optional), kOk},
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
  for (const auto& c : cases) {
    c_flashMemory r;
    EXPECT_EQ(r.unmarshal(c.text), c.code) << c.text;
  }
}

TEST(FlashRecord, FailedReadKeepsWhatWasReadAndCheckNamesTheFirstMissingElement) {
  const std::string cut =
      "<flashMemory version='9'><hardwareVersion>H</hardwareVersion>"
      "<frequency>F</frequency><massPot>7";
  c_flashMemory r;
  r.set_massPot(L"before");
  EXPECT_EQ(r.unmarshal(cut.data(), cut.size()), kMalformed);
  EXPECT_EQ(std::tuple(r.get_version(), r.get_hardwareVersion(), r.get_frequency(), r.get_massPot(),
                       r.get_sourcePSU()),
            std::tuple(L"9", L"H", L"F", L"before", L"Spellman MX8PN24/720"));
  Tracker tracker;
  tracker.setItem("outer");
  EXPECT_FALSE(r.check(tracker, "flash"));
  EXPECT_EQ(tracker.error(), "flash/sourcePSU");
  EXPECT_EQ(tracker.item(), "outer");

  // Every required element up to the serial number read: that one is the first missing.
  EXPECT_EQ(r.unmarshal(document(replaced(kRequired, "<serialNumber></serialNumber>", ""))),
            kMissingElement);
  Tracker second;
  EXPECT_FALSE(r.is_occurs_ok(second));
  EXPECT_EQ(second.error(), "/serialNumber");
  r.set_serialNumber(L"");
  Tracker third;
  EXPECT_TRUE(r.check(third, "config")) << "qcData and the optional fields are not checked";
  EXPECT_TRUE(third.ok());
}

TEST(FlashRecord, SwapExchangesEveryFieldAndResetRestoresTheInitialOnes) {
  c_flashMemory full = fullRecord(), fresh;
  fresh.swap(full);
  expectSameFields(fresh, fullRecord());
  expectSameFields(full, c_flashMemory());
  fresh.reset();
  expectSameFields(fresh, c_flashMemory());
  Tracker tracker;
  EXPECT_FALSE(fresh.is_occurs_ok(tracker)) << "reset clears the set flags";
}

TEST(FlashRecord, FilesStreamsAndCapturedElements) {
  const c_flashMemory full = fullRecord();
  const auto dir =
      std::filesystem::temp_directory_path() / ("zyl_flash_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  // A wide name is converted and handed to the narrow file functions.
  const std::wstring wide = toWide(dir.string()) + L"/r\u00e9glage\U0001F600.xml";
  ASSERT_EQ(full.marshal(wide.c_str()), kOk);
  EXPECT_TRUE(std::filesystem::exists(dir / "r\xC3\xA9glage\xF0\x9F\x98\x80.xml"))
      << "wide names are UTF-8 on disk";
  int error = -1;
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

  std::ostringstream stream, broken;
  ASSERT_EQ(full.marshal(stream), kOk);
  expectSameFields(c_flashMemory(stream.str(), &error), full);
  broken.setstate(std::ios::badbit);
  EXPECT_EQ(full.marshal(broken), kFileError);

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
  EXPECT_EQ(error, kOk) << "the element's name is the caller's, not checked";
}

std::string volatileDocument(const std::string& time) {
  return "<volatileFlashMemory><lastPumpDownTime>" + time +
         "</lastPumpDownTime></volatileFlashMemory>";
}

TEST(VolatileRecord, WritesTheVersionOnlyWhileSetAndSwaps) {
  c_volatileFlashMemory r;
  std::string text;
  ASSERT_EQ(r.marshal(text), kOk);
  EXPECT_EQ(text, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + volatileDocument("0"));

  r.set_version(L"1.1");
  r.set_lastPumpDownTime(INT_MIN);
  std::string compact;
  Writer writer(compact, {false, "", ""});
  ASSERT_EQ(r.marshal(writer, "volatileFlashMemory"), kOk);
  EXPECT_EQ(compact,
            "<volatileFlashMemory version=\"1.1\"><lastPumpDownTime>-2147483648</lastPumpDownTime>"
            "</volatileFlashMemory>");
  c_volatileFlashMemory back;
  ASSERT_EQ(back.unmarshal(compact), kOk);
  EXPECT_EQ(back.get_lastPumpDownTime(), INT_MIN);
  EXPECT_EQ(back.get_version(), L"1.1");

  c_volatileFlashMemory swapped;
  swapped.swap(back);
  EXPECT_EQ(std::tuple(swapped.get_lastPumpDownTime(), swapped.get_version(),
                       back.get_lastPumpDownTime(), back.isset_version()),
            std::tuple(INT_MIN, L"1.1", 0, false));
}

TEST(VolatileRecord, TimeIsCollapsedThenCheckedAsA32BitInteger) {
  const struct {
    const char* text;
    int code;
    int value;
  } cases[] = {
      {"\n\t-17\r\n", kOk, -17},      {"4 2", kNotInteger, 7},
      {"2147483648", kOutOfRange, 7}, {"-2147483649", kOutOfRange, 7},
      {"+2147483647", kOk, INT_MAX},  {"0x10", kNotInteger, 7},
      {"-", kNotInteger, 7},          {"<n>1</n>", kBadValue, 7},
  };
  for (const auto& c : cases) {
    c_volatileFlashMemory r;
    r.set_lastPumpDownTime(7);
    EXPECT_EQ(r.unmarshal(volatileDocument(c.text)), c.code) << c.text;
    EXPECT_EQ(r.get_lastPumpDownTime(), c.value) << c.text;
  }
  // A failed value leaves the set flag as it was.
  c_volatileFlashMemory fresh;
  EXPECT_EQ(fresh.unmarshal(volatileDocument("x")), kNotInteger);
  Tracker tracker;
  EXPECT_FALSE(fresh.check(tracker, "volatile"));
  EXPECT_EQ(tracker.error(), "volatile/lastPumpDownTime");

  // From a zero-padded slot; a document longer than its slot arrives cut and is refused.
  char slot[512] = {};
  const std::string text = volatileDocument("1234");
  text.copy(slot, text.size());
  ASSERT_EQ(fresh.unmarshal(slot, sizeof slot), kOk);
  EXPECT_EQ(fresh.get_lastPumpDownTime(), 1234);
  EXPECT_TRUE(fresh.is_occurs_ok(tracker)) << "an error already held does not change the verdict";
  const std::string longer = "<volatileFlashMemory>" + std::string(600, ' ') +
                             "<lastPumpDownTime>1</lastPumpDownTime></volatileFlashMemory>";
  int error = -1;
  EXPECT_EQ(c_volatileFlashMemory(longer.data(), 512, &error).get_lastPumpDownTime(), 0);
  EXPECT_EQ(error, kMalformed);
  c_volatileFlashMemory(slot, 0, &error);
  EXPECT_EQ(error, kMalformed);
}

}  // namespace
