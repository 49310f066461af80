#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "config/xml/Tracker.h"
#include "config/xml/Writer.h"
#include "config/xmllint.h"
#include "zyl/VolatileFlashMemory.h"

namespace {

using VolatileFlashMemory::c_volatileFlashMemory;
using namespace zyl::xml;

std::string document(const std::string& time) {
  return "<volatileFlashMemory><lastPumpDownTime>" + time +
         "</lastPumpDownTime></volatileFlashMemory>";
}

TEST(VolatileRecord, WritesTheVersionOnlyWhileSet) {
  c_volatileFlashMemory r;
  std::string text;
  ASSERT_EQ(r.marshal(text), kOk);
  EXPECT_EQ(text, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + document("0"));

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
  EXPECT_TRUE(back.isset_version());
  EXPECT_EQ(back.get_version(), L"1.1");

  r.unset_version();
  EXPECT_FALSE(r.isset_version());
  r.marshal(text);
  EXPECT_EQ(text.find("version=\"1.1\""), std::string::npos);
}

TEST(VolatileRecord, TimeIsCollapsedThenCheckedAsA32BitInteger) {
  struct Case {
    const char* text;
    int code;
    int value;
  };
  const Case cases[] = {
      {" 42 ", kOk, 42},
      {"\n\t-17\r\n", kOk, -17},
      {"2147483647", kOk, INT_MAX},
      {"4.5", kNotInteger, 7},
      {"", kNotInteger, 7},
      {"4 2", kNotInteger, 7},
      {"2147483648", kOutOfRange, 7},
      {"-2147483649", kOutOfRange, 7},
      {"<n>1</n>", kBadValue, 7},
  };
  for (const Case& c : cases) {
    c_volatileFlashMemory r;
    r.set_lastPumpDownTime(7);
    r.unset_version();
    EXPECT_EQ(r.unmarshal(document(c.text)), c.code) << c.text;
    EXPECT_EQ(r.get_lastPumpDownTime(), c.value) << c.text;
  }
  // A failed value leaves the set flag as it was.
  c_volatileFlashMemory fresh;
  EXPECT_EQ(fresh.unmarshal(document("x")), kNotInteger);
  Tracker tracker;
  EXPECT_FALSE(fresh.check(tracker, "volatile"));
  EXPECT_EQ(tracker.error(), "volatile/lastPumpDownTime");
}

TEST(VolatileRecord, ReadsFromAZeroPaddedSlot) {
  char slot[512] = {};
  const std::string text = document("1234");
  text.copy(slot, text.size());
  c_volatileFlashMemory r;
  ASSERT_EQ(r.unmarshal(slot, sizeof slot), kOk);
  EXPECT_EQ(r.get_lastPumpDownTime(), 1234);
  Tracker tracker;
  EXPECT_TRUE(r.is_occurs_ok(tracker));

  // A document longer than its slot arrives cut and is refused.
  const std::string longer = "<volatileFlashMemory>" + std::string(600, ' ') +
                             "<lastPumpDownTime>1</lastPumpDownTime></volatileFlashMemory>";
  int error = -1;
  c_volatileFlashMemory cut(longer.data(), 512, &error);
  EXPECT_EQ(error, kMalformed);
  EXPECT_EQ(cut.get_lastPumpDownTime(), 0);

  c_volatileFlashMemory empty(slot, 0, &error);
  EXPECT_EQ(error, kMalformed);
}

TEST(VolatileRecord, ValueSemanticsAndIndependentParser) {
  c_volatileFlashMemory a;
  a.set_lastPumpDownTime(-5);
  a.set_version(L"\u00e9<");
  c_volatileFlashMemory b(a);
  EXPECT_EQ(b.get_lastPumpDownTime(), -5);
  c_volatileFlashMemory c;
  c.swap(b);
  EXPECT_EQ(c.get_lastPumpDownTime(), -5);
  EXPECT_EQ(b.get_lastPumpDownTime(), 0);
  EXPECT_FALSE(b.isset_version());
  std::unique_ptr<c_volatileFlashMemory> d(c.clone());
  EXPECT_EQ(d->get_version(), L"\u00e9<");
  d->reset();
  EXPECT_EQ(d->get_version(), L"1.0");
  EXPECT_FALSE(d->isset_version());
  Tracker tracker;
  EXPECT_FALSE(d->is_occurs_ok(tracker));

  ZYL_REQUIRE_XMLLINT();
  std::string text;
  a.marshal(text);
  EXPECT_TRUE(zyl::xml::testing::xmllintAccepts(text)) << text;
}

}  // namespace
