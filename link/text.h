// Small text helpers shared by every subsystem: version texts and blank trimming. Internal to the
// library; nothing here allocates.
#pragma once

#include <cstddef>
#include <string_view>

namespace zyl::detail {

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

// `text` without spaces, tabs, carriage returns and line feeds at either end.
inline constexpr std::string_view trimBlanks(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace zyl::detail
