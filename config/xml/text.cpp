#include "config/xml/text.h"

#include <charconv>

#include "zyl/XmlError.h"

namespace zyl::xml {

namespace {
constexpr char32_t kReplacement = 0xFFFD;

bool isSurrogate(char32_t cp) {
  return cp >= 0xD800 && cp <= 0xDFFF;
}
}  // namespace

char32_t decodeUtf8(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length;
  char32_t cp;
  char32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (text.size() - pos < length) {
    ++pos;
    return kReplacement;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || isSurrogate(cp)) {
    ++pos;
    return kReplacement;
  }
  pos += length;
  return cp;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || isSurrogate(cp)) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    const char bytes[2] = {static_cast<char>(0xC0 | (cp >> 6)),
                           static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(bytes, 2);
  } else if (cp < 0x10000) {
    const char bytes[3] = {static_cast<char>(0xE0 | (cp >> 12)),
                           static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                           static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(bytes, 3);
  } else {
    const char bytes[4] = {
        static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
        static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(bytes, 4);
  }
}

void appendUtf8(std::string& out, std::wstring_view text) {
  forEachCodePoint(text, [&](char32_t cp) { appendUtf8(out, cp); });
}

std::string toUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  appendUtf8(out, text);
  return out;
}

void assignWide(std::wstring& out, std::string_view utf8) {
  out.clear();
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const char32_t cp = decodeUtf8(utf8, pos);
    if constexpr (sizeof(wchar_t) == 2) {
      if (cp >= 0x10000) {
        out.push_back(static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        continue;
      }
    }
    out.push_back(static_cast<wchar_t>(cp));
  }
}

std::wstring toWide(std::string_view utf8) {
  std::wstring out;
  assignWide(out, utf8);
  return out;
}

bool isAllXmlSpace(std::string_view text) {
  for (char c : text) {
    if (!isXmlSpace(c)) return false;
  }
  return true;
}

std::string_view collapse(std::string_view text, std::string& scratch) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isXmlSpace(text[begin])) ++begin;
  while (end > begin && isXmlSpace(text[end - 1])) --end;
  text = text.substr(begin, end - begin);

  bool clean = true;
  for (std::size_t i = 0; i < text.size() && clean; ++i) {
    if (text[i] != ' ' && isXmlSpace(text[i])) clean = false;
    if (text[i] == ' ' && i + 1 < text.size() && isXmlSpace(text[i + 1])) clean = false;
  }
  if (clean) return text;

  scratch.clear();
  bool inSpace = false;
  for (char c : text) {
    if (isXmlSpace(c)) {
      inSpace = true;
      continue;
    }
    if (inSpace) scratch.push_back(' ');
    inSpace = false;
    scratch.push_back(c);
  }
  return scratch;
}

int parseInt32(std::string_view text, std::int32_t& value) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return kNotInteger;
  for (char c : text) {
    if (c < '0' || c > '9') return kNotInteger;
  }
  while (text.size() > 1 && text[0] == '0') text.remove_prefix(1);
  // Eleven or more significant digits lie beyond 32 bits whatever they are.
  if (text.size() > 10) return kOutOfRange;
  std::int64_t magnitude = 0;
  std::from_chars(text.data(), text.data() + text.size(), magnitude);
  const std::int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue < INT32_MIN || signedValue > INT32_MAX) return kOutOfRange;
  value = static_cast<std::int32_t>(signedValue);
  return kOk;
}

}  // namespace zyl::xml
