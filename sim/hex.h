// Hexadecimal fields as the simulated controller reads and writes them. The simulator is the
// library's oracle, so it keeps its own helpers instead of sharing the library's.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zyl::sim {

// A field that is wholly hexadecimal digits of either case (1 to 16 of them); nothing otherwise.
inline std::optional<uint64_t> hexField(std::string_view text) {
  if (text.empty() || text.size() > 16) return std::nullopt;
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Reads a field of `width` hexadecimal digits from the front of `text` and drops it; false, with
// `text` unchanged, when the field is missing or not all hexadecimal.
template <class T>
bool takeHex(std::string_view& text, size_t width, T& out) {
  const auto value = text.size() >= width ? hexField(text.substr(0, width)) : std::nullopt;
  if (!value) return false;
  out = static_cast<T>(*value);
  text.remove_prefix(width);
  return true;
}

// Appends `value` in upper-case hexadecimal, zero-padded to at least `width` digits, to any
// container of characters or bytes.
template <class Out>
void appendHex(Out& out, uint64_t value, int width) {
  char digits[16];
  int n = 0;
  do {
    digits[n++] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  } while (value != 0);
  for (int i = n; i < width; ++i) out.push_back('0');
  while (n > 0) out.push_back(static_cast<typename Out::value_type>(digits[--n]));
}

}  // namespace zyl::sim
