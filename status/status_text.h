// Reading the instrument's status texts: the small conversions that the "-1B3000" reply, the
// scan trailer's serial text and the V3 status frame share. Internal to the library.
//
// Every reader takes a view bounded by what was received, never a NUL-terminated pointer, so a
// frame cut short or holding garbage is read as far as it goes and no further. Decimal numbers
// from the instrument always use '.', and std::from_chars reads them the same whatever the host's
// locale, without touching the process-wide locale data that another thread may be reading.
#pragma once

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "link/wire.h"

namespace zyl::detail {

inline bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

inline std::string_view skipSpace(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  return s;
}

// A hexadecimal group as the C library scans it: leading blanks skipped, then digits as far as
// they go. Nothing when the group holds no digit at all.
inline std::optional<uint32_t> hexPrefix(std::string_view group) {
  const LeadingHex hex = leadingHex(skipSpace(group));
  if (hex.digits == 0) return std::nullopt;
  return hex.value;
}

// strtoul(text, 16) on an unbounded field: a value too large for 64 bits saturates.
inline uint64_t hexNumber(std::string_view s) {
  s = skipSpace(s);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && hexDigitValue(s[2]) != kNotHex)
    s.remove_prefix(2);
  uint64_t value = 0;
  for (char c : s) {
    const uint8_t d = hexDigitValue(c);
    if (d == kNotHex) break;
    if (value > (std::numeric_limits<uint64_t>::max() >> 4))
      return std::numeric_limits<uint64_t>::max();
    value = (value << 4) | static_cast<uint64_t>(d);
  }
  return value;
}

// strtol(text, 10) into 32 bits: blanks and a sign, digits as far as they go, clamped; 0 when
// there is no number.
inline int32_t decimalInteger(std::string_view s) {
  s = skipSpace(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > int64_t{1} << 32) break;  // already beyond every 32-bit value
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// strtod on instrument text: blanks and a '+' are skipped, '.' is the decimal separator whatever
// the locale. 0.0 when there is no number (or one out of range), which the parsers read as "no
// valid pressure".
inline double decimalNumber(std::string_view s) {
  s = skipSpace(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  (void)end;
  return ec == std::errc() ? value : 0.0;
}

}  // namespace zyl::detail
