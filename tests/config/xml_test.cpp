// The XML layer under the configuration records: ill-formed text, the reader on expat and our own
// writer, whose output an independent parser (xmllint) must accept. The writer's layouts are
// proven exactly by the record and tune-form tests.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "config/xml/reader.h"
#include "config/xml/text.h"
#include "config/xml/writer.h"
#include "config/xmllint.h"
#include "zyl/XmlError.h"

namespace zyl::xml {
namespace {

TEST(XmlText, IllFormedBytesAndLoneSurrogatesBecomeReplacements) {
  // Well-formed text is proven exactly by the writer and record round trips. Lone continuation,
  // overlong '/', encoded surrogate, above U+10FFFF, sequence cut at the end: one replacement
  // per bad byte.
  EXPECT_EQ(toWide("a\x80"
                   "b\xC0\xAF"
                   "c\xED\xA0\x80"
                   "d\xF4\x90\x80\x80"
                   "e\xE2\x82"),
            L"a\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFD\uFFFDd\uFFFD\uFFFD\uFFFD\uFFFDe\uFFFD\uFFFD");
  EXPECT_EQ(toUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

TEST(XmlReader, RawContentIsTheSourceBytesAndTextIsDecoded) {
  const std::string inner =
      "\n  <m a='1'>x &amp; &#x263A;</m><!-- note --><![CDATA[<raw> & ]]><?pi data?><e/>\n";
  const std::string doc = "<root><q>" + inner + "</q><t> a &lt;b&gt; <![CDATA[c]]> </t></root>";
  const Reader reader(doc);  // reads the text in place: it must outlive the reader
  ASSERT_EQ(reader.error(), kOk) << reader.errorMessage();
  const Element q = reader.root().firstChild();
  EXPECT_EQ(q.rawContent(), inner);
  EXPECT_EQ(q.text(), "") << "whitespace between children is not content";
  EXPECT_EQ(q.nextSibling().text(), " a <b> c ");
  // A CDATA section beside children is character data; whitespace alone is not.
  for (const auto& [text, mixed] : {std::pair{"<r>x<a/></r>", true},
                                    {"<r><a/><![CDATA[c]]></r>", true},
                                    {"<r>\n\t<a/>\r\n</r>", false}})
    EXPECT_EQ(Reader(text).root().hasMixedText(), mixed) << text;

  // Raw content is handed out as source bytes, which only makes sense if they are UTF-8.
  const Reader latin("<?xml version='1.0' encoding='ISO-8859-1'?><r>\xC3\xA9</r>");
  ASSERT_EQ(latin.error(), kOk);
  EXPECT_EQ(latin.root().text(), "\xC3\xA9");
}

TEST(XmlReader, TextEndsAtTheGivenLengthOrTheFirstZeroByte) {
  // A buffer with no terminator of its own: the sanitizer catches any read past its end.
  const std::string doc = "<r><a>1</a></r>";
  auto exact = std::make_unique<char[]>(doc.size());
  doc.copy(exact.get(), doc.size());
  EXPECT_EQ(Reader(exact.get(), doc.size()).error(), kOk);
  EXPECT_EQ(Reader(exact.get(), doc.size() - 1).error(), kMalformed);

  std::string slot(512, '\0');
  slot.replace(0, doc.size(), doc);
  const Reader padded(slot.data(), slot.size());
  EXPECT_EQ(padded.error(), kOk);
  EXPECT_EQ(padded.source(), doc);
  EXPECT_EQ(Reader(nullptr, 10).error(), kMalformed);
}

TEST(XmlReader, DocumentTypesUnboundPrefixesAndUndeclaredEntitiesAreRefused) {
  const char* laughs =
      "<!DOCTYPE r [<!ENTITY a 'aaaaaaaaaa'><!ENTITY b '&a;&a;&a;&a;&a;&a;&a;&a;'>]><r>&b;</r>";
  const char* external = "<!DOCTYPE r [<!ENTITY x SYSTEM 'file:///etc/passwd'>]><r>&x;</r>";
  for (const char* doc : {laughs, external}) {
    const Reader reader(doc);
    EXPECT_EQ(reader.error(), kMalformed) << doc;
    EXPECT_NE(reader.errorMessage().find("document type"), std::string::npos);
    EXPECT_FALSE(reader.root());
  }
  EXPECT_EQ(Reader("<r>&undeclared;</r>").error(), kMalformed);
  EXPECT_EQ(Reader("<p:r/>").error(), kMalformed);
}

TEST(XmlReader, LargeDeepDocumentsReadWhileAnotherReaderLives) {
  // Far beyond what the parser's per-thread arena and the writer's inline levels hold: many
  // distinct names (each one a table entry in expat), long values and deep nesting.
  constexpr int kDepth = 60;
  constexpr int kSiblings = 3000;
  std::string doc;
  {
    Writer w(doc, {true, " ", "\n"});
    for (int i = 0; i < kDepth; ++i) w.startElement("level" + std::to_string(i));
    for (int i = 0; i < kSiblings; ++i) {
      w.startElement("item" + std::to_string(i));
      w.attribute("value", std::string(40, static_cast<char>('a' + i % 26)));
      w.text(std::to_string(i));
      w.endElement();
    }
    for (int i = 0; i < kDepth; ++i) w.endElement();
    ASSERT_EQ(w.error(), kOk);
  }
  ASSERT_GT(doc.size(), 150000u);

  const Reader outer("<outer/>");
  const Reader reader(doc);
  ASSERT_EQ(reader.error(), kOk) << reader.errorMessage();
  Element e = reader.root();
  for (int i = 1; i < kDepth; ++i) e = e.firstChild();
  EXPECT_EQ(e.name(), "level" + std::to_string(kDepth - 1));
  int count = 0;
  for (Element item = e.firstChild(); item; item = item.nextSibling(), ++count) {
    ASSERT_EQ(item.name(), "item" + std::to_string(count));
    ASSERT_EQ(item.text(), std::to_string(count));
    ASSERT_EQ(item.parent().name(), e.name());
  }
  EXPECT_EQ(count, kSiblings);
  EXPECT_EQ(outer.root().name(), "outer");
}

TEST(XmlWriter, EscapedTextReadsBackExactlyAndUnwritableCharactersAreReplaced) {
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

  out.clear();
  Writer w(out, {false, "", ""});
  w.startElement("r");
  w.text(
      std::string_view("a\x01"
                       "b\xFF"
                       "c\xEF\xBF\xBE"));
  w.attribute("late", "1");  // misuse is reported, not written
  EXPECT_EQ(w.error(), kBadValue);
  w.endElement();
  w.endElement();
  EXPECT_EQ(out,
            "<r>a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD"
            "c\xEF\xBF\xBD</r>");
}

TEST(XmlWriter, OutputIsAcceptedByAnIndependentParser) {
  ZYL_REQUIRE_XMLLINT();
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
