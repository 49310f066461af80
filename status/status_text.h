// Reading the instrument's status texts: the small conversions that the "-1B3000" reply, the
// scan trailer's serial text and the V3 status frame share. Internal to the library.
//
// Every reader takes a view bounded by what was received, never a NUL-terminated pointer, so a
// frame cut short or holding garbage is read as far as it goes and no further. Decimal numbers are
// read by decimalNumber (link/text.h), whatever the host's locale.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "link/text.h"

namespace zyl::detail {

// A hexadecimal group as the C library scans it: leading blanks skipped, then digits as far as
// they go. Nothing when the group holds no digit at all.
inline std::optional<uint32_t> hexPrefix(std::string_view group) {
  const auto hex = leadingHex(trimBlanks(group));
  if (hex.digits == 0) return std::nullopt;
  return hex.value;
}

// strtoul(text, 16) on an unbounded field: a value too large for 64 bits saturates.
inline uint64_t hexNumber(std::string_view s) {
  s = trimBlanks(s);
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && hexDigitValue(s[2]) != kNotHex)
    s.remove_prefix(2);
  return leadingHex<uint64_t>(s).value;
}

// strtol(text, 10) into 32 bits: blanks and a sign, digits as far as they go, clamped; 0 when
// there is no number.
inline int32_t decimalInteger(std::string_view s) {
  s = trimBlanks(s);
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

}  // namespace zyl::detail
