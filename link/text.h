// Small text readers shared by every subsystem and the device layer: hexadecimal and decimal
// numbers, blank trimming and version texts. Internal to the library; nothing here allocates or
// depends on the host's locale, and every reader takes a bounded view, never a NUL-terminated
// pointer, so a text cut short is read as far as it goes and no further.
#pragma once

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

namespace zyl::detail {

// `text` without blanks (as the C locale's isspace knows them) at either end.
inline constexpr std::string_view trimBlanks(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n\f\v";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

inline constexpr uint8_t kNotHex = 0xFF;

// Value of a hexadecimal digit of either case, kNotHex for any other character.
inline constexpr std::array<uint8_t, 256> kHexDigitValue = [] {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = kNotHex;
  for (int c = '0'; c <= '9'; ++c) t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) t[static_cast<size_t>(c)] = static_cast<uint8_t>(c - 'A' + 10);
  return t;
}();

inline constexpr uint8_t hexDigitValue(char c) {
  return kHexDigitValue[static_cast<unsigned char>(c)];
}
// The same for wide text (the configuration records hold wide strings): kNotHex beyond ASCII.
inline constexpr uint8_t hexDigitValue(wchar_t c) {
  return c >= 0 && c < 0x80 ? hexDigitValue(static_cast<char>(c)) : kNotHex;
}

// The hexadecimal number at the start of `text`, read as strtoul would read it (no sign, no
// prefix, no blanks): at most `maxDigits` digits, the value held at the largest T when it is
// larger. `digits` is 0 when the text does not start with a hex digit.
template <class T = uint32_t>
struct LeadingHex {
  T value = 0;
  size_t digits = 0;
};
template <class T, class Char>
inline constexpr LeadingHex<T> leadingHexOf(std::basic_string_view<Char> text, size_t maxDigits) {
  constexpr T kMax = std::numeric_limits<T>::max();
  LeadingHex<T> r;
  while (r.digits < text.size() && r.digits < maxDigits) {
    const uint8_t d = hexDigitValue(text[r.digits]);
    if (d == kNotHex) break;
    r.value = r.value > (kMax >> 4) ? kMax : static_cast<T>(r.value << 4 | d);
    ++r.digits;
  }
  return r;
}
template <class T = uint32_t>
inline constexpr LeadingHex<T> leadingHex(std::string_view text, size_t maxDigits = SIZE_MAX) {
  return leadingHexOf<T>(text, maxDigits);
}
template <class T = uint32_t>
inline constexpr LeadingHex<T> leadingHex(std::wstring_view text, size_t maxDigits = SIZE_MAX) {
  return leadingHexOf<T>(text, maxDigits);
}

// A field that is nothing but 1 to `maxDigits` hexadecimal digits (at most 8); nothing otherwise.
inline constexpr std::optional<uint32_t> hexField(std::string_view digits, size_t maxDigits = 8) {
  if (digits.empty() || digits.size() > maxDigits || digits.size() > 8) return std::nullopt;
  const auto hex = leadingHex(digits);
  if (hex.digits != digits.size()) return std::nullopt;
  return hex.value;
}

// strtod on instrument text, which always writes '.' whatever the host's locale: blanks and a '+'
// are skipped. std::from_chars reads without touching the process-wide locale data that another
// thread may be reading. 0.0 when there is no number (or one out of range).
// `ZylInterface::readEnglishLocaleFloat` keeps its own C-library surface for the host.
inline double decimalNumber(std::string_view s) {
  s = trimBlanks(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  (void)end;
  return ec == std::errc() ? value : 0.0;
}

// Firmware version texts are compared as byte strings (unsigned), at most `n` characters, a
// shorter text ending at its zero, as strncmp does. The texts name dates as month, day, year, so
// this is an order of texts, not of dates. Negative, zero or positive as strncmp.
inline int compareVersion(std::string_view version, std::string_view reference, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char a = i < version.size() ? static_cast<unsigned char>(version[i]) : 0;
    const unsigned char b = i < reference.size() ? static_cast<unsigned char>(reference[i]) : 0;
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
  return 0;
}

}  // namespace zyl::detail
