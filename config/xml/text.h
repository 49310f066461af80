#pragma once

// Text helpers of the XML layer: UTF-8 <-> wide text, whitespace collapsing and the checks of
// 32-bit integer values.

#include <cstdint>
#include <string>
#include <string_view>

namespace zyl::xml {

// Decodes one code point from UTF-8 at `pos`, advancing it. Ill-formed input (overlong forms,
// surrogates, values above U+10FFFF, truncated sequences) yields U+FFFD for each offending byte,
// so that every byte is consumed exactly once whatever the input holds.
char32_t decodeUtf8(std::string_view text, std::size_t& pos);

// Appends `cp` in UTF-8; surrogates and values above U+10FFFF are written as U+FFFD.
void appendUtf8(std::string& out, char32_t cp);

// Wide text is UTF-32 where wchar_t has 32 bits and UTF-16 where it has 16; unpaired surrogates
// become U+FFFD. These never fail.
void appendUtf8(std::string& out, std::wstring_view text);
std::string toUtf8(std::wstring_view text);
void assignWide(std::wstring& out, std::string_view utf8);
std::wstring toWide(std::string_view utf8);

// Calls `fn(char32_t)` for each code point of `text`.
template <class Fn>
void forEachCodePoint(std::wstring_view text, Fn&& fn) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = static_cast<char32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
        char32_t low = static_cast<char32_t>(text[i + 1]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    fn(cp);
  }
}

inline bool isXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool isAllXmlSpace(std::string_view text);

// Whitespace collapsing of XML Schema: leading and trailing whitespace dropped, inner runs made
// one blank. Returns a view of `text` when nothing inside has to change, else of `scratch`.
std::string_view collapse(std::string_view text, std::string& scratch);

// Checks a collapsed text as a decimal integer (optional sign, at least one digit, leading
// zeros allowed) between -2147483648 and 2147483647. Returns kOk, kNotInteger or kOutOfRange;
// `value` is written only on kOk.
int parseInt32(std::string_view text, std::int32_t& value);

}  // namespace zyl::xml
