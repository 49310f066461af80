#include <gtest/gtest.h>

#include <string>

#include "config/xml/Reader.h"
#include "config/xml/Writer.h"
#include "config/xmllint.h"
#include "zyl/XmlError.h"

namespace zyl::xml {
namespace {

void writeSample(Writer& w) {
  w.startElement("doc");
  w.attribute("v", "1");
  w.startElement("empty");
  w.endElement();
  w.startElement("group");
  w.startElement("text");
  w.text("a b");
  w.endElement();
  w.startElement("raw");
  w.raw("<x>1</x>");
  w.endElement();
  w.endElement();
  w.startElement("n");
  w.text(std::int64_t{-12});
  w.endElement();
  w.endElement();
}

TEST(XmlWriter, LayoutFollowsTheThreeSettings) {
  std::string compact;
  {
    Writer w(compact, {false, "", ""});
    writeSample(w);
    EXPECT_EQ(w.error(), kOk);
  }
  EXPECT_EQ(compact,
            "<doc v=\"1\"><empty></empty><group><text>a b</text><raw><x>1</x></raw></group>"
            "<n>-12</n></doc>");

  std::string pretty;
  {
    Writer w(pretty, {true, "  ", "\r\n"});
    writeSample(w);
  }
  EXPECT_EQ(pretty,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
            "<doc v=\"1\">\r\n"
            "  <empty></empty>\r\n"
            "  <group>\r\n"
            "    <text>a b</text>\r\n"
            "    <raw><x>1</x></raw>\r\n"
            "  </group>\r\n"
            "  <n>-12</n>\r\n"
            "</doc>");

  std::string defaults;
  Writer(defaults).startElement("a");
  EXPECT_EQ(defaults, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a");
}

TEST(XmlWriter, EscapedTextAndAttributesReadBackExactly) {
  const std::string awkward = "<&>\"' ]]> tab\there\r\nline \xC3\xA9 \xF0\x9F\x98\x80";
  const std::wstring wide = L"w\"<\U0001F600\u00e9\t\n";
  std::string out;
  {
    Writer w(out, {true, "", ""});
    w.startElement("r");
    w.attribute("a", awkward);
    w.attribute("w", std::wstring_view(wide));
    w.startElement("t");
    w.text(awkward);
    w.endElement();
    w.endElement();
  }
  EXPECT_EQ(out.find("]]>"), std::string::npos);
  const Reader reader(out);
  ASSERT_EQ(reader.error(), kOk) << reader.errorMessage() << "\n" << out;
  std::string_view value;
  ASSERT_TRUE(reader.root().attribute("a", value));
  EXPECT_EQ(value, awkward);
  ASSERT_TRUE(reader.root().attribute("w", value));
  EXPECT_EQ(value, "w\"<\xF0\x9F\x98\x80\xC3\xA9\t\n");
  EXPECT_EQ(reader.root().firstChild().text(), awkward);
}

TEST(XmlWriter, CharactersXmlCannotCarryAreReplaced) {
  std::string out;
  {
    Writer w(out, {false, "", ""});
    w.startElement("r");
    w.text(
        std::string_view("a\x01"
                         "b\xFF"
                         "c\xEF\xBF\xBE"));
    w.endElement();
  }
  EXPECT_EQ(out,
            "<r>a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD"
            "c\xEF\xBF\xBD</r>");
}

TEST(XmlWriter, MisuseIsReportedNotWritten) {
  std::string out;
  Writer w(out, {false, "", ""});
  w.startElement("r");
  w.text("x");
  w.attribute("late", "1");
  EXPECT_EQ(w.error(), kBadValue);
  w.endElement();
  w.endElement();
  EXPECT_EQ(out, "<r>x</r>");
}

TEST(XmlWriter, OutputIsAcceptedByAnIndependentParser) {
  ZYL_REQUIRE_XMLLINT();
  for (const WriterSettings settings :
       {WriterSettings{true, "", ""}, WriterSettings{true, "\t", "\n"},
        WriterSettings{false, "    ", "\n"}}) {
    std::string out;
    Writer w(out, settings);
    writeSample(w);
    EXPECT_TRUE(testing::xmllintAccepts(out)) << out;
  }
  // Everything escaping has to deal with, and what it has to replace.
  std::string out;
  Writer w(out);
  w.startElement("r");
  w.attribute("a", std::string_view("\"<&>\t\n\r\x02"));
  w.text(std::string_view("]]> \r \x1F \xC0\x80 \xF0\x9F\x98\x80"));
  w.text(std::wstring_view(L"\U0010FFFF \uFFFE"));
  w.endElement();
  EXPECT_TRUE(testing::xmllintAccepts(out)) << out;
}

}  // namespace
}  // namespace zyl::xml
