#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "config/xml/Text.h"
#include "zyl/XmlError.h"

namespace zyl::xml {
namespace {

TEST(XmlText, WideAndUtf8RoundTripIncludingCharactersBeyondTheBmp) {
  const std::wstring wide = L"A\u00e9\u20ac\U0001F600<&>";
  const std::string utf8 = toUtf8(wide);
  EXPECT_EQ(utf8, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80<&>");
  EXPECT_EQ(toWide(utf8), wide);
}

TEST(XmlText, IllFormedUtf8BecomesOneReplacementPerBadByte) {
  // lone continuation, overlong '/', encoded surrogate, above U+10FFFF, sequence cut at the end
  const std::string bad =
      "a\x80"
      "b\xC0\xAF"
      "c\xED\xA0\x80"
      "d\xF4\x90\x80\x80"
      "e\xE2\x82";
  const std::wstring wide = toWide(bad);
  EXPECT_EQ(wide, L"a\uFFFDb\uFFFD\uFFFDc\uFFFD\uFFFD\uFFFDd\uFFFD\uFFFD\uFFFD\uFFFDe\uFFFD\uFFFD");
  // Unpaired surrogates in wide text cannot be encoded either.
  std::wstring lone(1, static_cast<wchar_t>(0xD800));
  EXPECT_EQ(toUtf8(lone), "\xEF\xBF\xBD");
}

TEST(XmlText, CollapseTrimsAndJoinsWhitespaceRuns) {
  std::string scratch;
  EXPECT_EQ(collapse(" \t42\r\n ", scratch), "42");
  EXPECT_EQ(collapse("a \t\n b  c", scratch), "a b c");
  EXPECT_EQ(collapse("   ", scratch), "");
}

TEST(XmlText, Int32ValidationAndRange) {
  struct Case {
    const char* text;
    int code;
    std::int32_t value;
  };
  const Case cases[] = {
      {"42", kOk, 42},
      {"+7", kOk, 7},
      {"-0", kOk, 0},
      {"0000000000042", kOk, 42},
      {"2147483647", kOk, INT32_MAX},
      {"-2147483648", kOk, INT32_MIN},
      {"2147483648", kOutOfRange, 0},
      {"-2147483649", kOutOfRange, 0},
      {"99999999999999999999999", kOutOfRange, 0},
      {"4.5", kNotInteger, 0},
      {"", kNotInteger, 0},
      {"-", kNotInteger, 0},
      {"1 2", kNotInteger, 0},
      {"0x10", kNotInteger, 0},
      {"--1", kNotInteger, 0},
  };
  for (const Case& c : cases) {
    std::int32_t value = 12345;
    EXPECT_EQ(parseInt32(c.text, value), c.code) << c.text;
    EXPECT_EQ(value, c.code == kOk ? c.value : 12345) << c.text;
  }
}

TEST(XmlText, EveryErrorCodeHasItsOwnText) {
  std::set<std::string> texts;
  for (int code = kOk; code <= kNoMemory; ++code) texts.insert(errorText(code));
  EXPECT_EQ(texts.size(), static_cast<std::size_t>(kNoMemory + 1));
  EXPECT_EQ(texts.count(errorText(999)), 0u);
}

}  // namespace
}  // namespace zyl::xml
