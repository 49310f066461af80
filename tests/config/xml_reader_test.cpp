#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "config/xml/Reader.h"
#include "config/xml/Writer.h"
#include "zyl/XmlError.h"

namespace zyl::xml {
namespace {

TEST(XmlReader, RawContentIsTheSourceBytesAndTextIsDecoded) {
  const std::string inner =
      "\n  <m a='1'>x &amp; &#x263A;</m><!-- note --><![CDATA[<raw> & ]]><?pi data?><e/>\n";
  const std::string doc = "<root><q>" + inner + "</q><t> a &lt;b&gt; <![CDATA[c]]> </t><e/></root>";
  const Reader reader(doc);
  ASSERT_EQ(reader.error(), kOk) << reader.errorMessage();
  const Element q = reader.root().firstChild();
  EXPECT_EQ(q.rawContent(), inner);
  EXPECT_TRUE(q.hasChildren());
  EXPECT_EQ(q.text(), "") << "whitespace between children is not content";
  EXPECT_TRUE(q.hasMixedText()) << "a CDATA section beside children is character data";
  EXPECT_EQ(q.firstChild().text(), "x & \xE2\x98\xBA");

  const Element t = q.nextSibling();
  EXPECT_EQ(t.text(), " a <b> c ");
  EXPECT_EQ(t.rawContent(), " a &lt;b&gt; <![CDATA[c]]> ");
  const Element e = t.nextSibling();
  EXPECT_EQ(e.name(), "e");
  EXPECT_EQ(e.rawContent(), "");
  EXPECT_TRUE(e.complete());
  EXPECT_FALSE(e.nextSibling());
}

TEST(XmlReader, NonWhitespaceTextBesideChildrenIsMixedContent) {
  const Reader before("<r>x<a/></r>");
  const Reader after("<r><a/> y </r>");
  const Reader blank("<r>\n\t<a/>\r\n</r>");
  EXPECT_TRUE(before.root().hasMixedText());
  EXPECT_TRUE(after.root().hasMixedText());
  EXPECT_FALSE(blank.root().hasMixedText());
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

TEST(XmlReader, DocumentTypeDeclarationsAndTheirEntitiesAreRefused) {
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
}

TEST(XmlReader, NamespacesAreResolvedForElementsAndAttributes) {
  const Reader reader("<r xmlns='urn:d' xmlns:p='urn:p' p:a='1' b='2'><p:c/><d xmlns=''/></r>");
  ASSERT_EQ(reader.error(), kOk);
  const Element root = reader.root();
  EXPECT_EQ(root.name(), "r");
  EXPECT_EQ(root.namespaceUri(), "urn:d");
  ASSERT_EQ(root.attributeCount(), 2u);
  EXPECT_EQ(root.attributeNamespaceUri(0), "urn:p");
  EXPECT_EQ(root.attributeName(0), "a");
  std::string_view value;
  EXPECT_FALSE(root.attribute("a", value)) << "a namespaced attribute is not the plain one";
  ASSERT_TRUE(root.attribute("b", value));
  EXPECT_EQ(value, "2");
  EXPECT_EQ(root.firstChild().namespaceUri(), "urn:p");
  EXPECT_EQ(root.firstChild().nextSibling().namespaceUri(), "");
  EXPECT_EQ(Reader("<p:r/>").error(), kMalformed) << "unbound prefix";
}

TEST(XmlReader, MalformedTextKeepsTheElementsCompletedBeforeTheFault) {
  const Reader reader("<r><a>1</a><b>2</b><c>3</x></r>");
  EXPECT_EQ(reader.error(), kMalformed);
  EXPECT_NE(reader.errorMessage().find("line 1"), std::string::npos);
  const Element a = reader.root().firstChild();
  ASSERT_TRUE(a);
  EXPECT_TRUE(a.complete());
  EXPECT_EQ(a.nextSibling().text(), "2");
  const Element c = a.nextSibling().nextSibling();
  ASSERT_TRUE(c);
  EXPECT_FALSE(c.complete());
  EXPECT_EQ(c.rawContent(), "");
  EXPECT_FALSE(reader.root().complete());
}

TEST(XmlReader, TextIsReadAsUtf8WhateverTheDeclarationSays) {
  // Raw content is handed out as source bytes, which only makes sense if they are UTF-8.
  const Reader reader("<?xml version='1.0' encoding='ISO-8859-1'?><r>\xC3\xA9</r>");
  ASSERT_EQ(reader.error(), kOk);
  EXPECT_EQ(reader.root().text(), "\xC3\xA9");
  EXPECT_EQ(reader.root().line(), 1u);
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
    ASSERT_EQ(w.depth(), 0);
  }
  ASSERT_GT(doc.size(), 150000u);
  EXPECT_EQ(doc.substr(doc.size() - 9), "</level0>");

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

}  // namespace
}  // namespace zyl::xml
