// Building command texts and reading instrument replies, in one place for every subsystem.
// Internal to the library. Nothing here allocates: command texts are built in fixed buffers and
// replies are read in place, every field bounded by the length actually received.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "link/text.h"

namespace zyl::detail {

// A command text of at most N - 1 characters, kept NUL-terminated. Appending beyond the buffer
// marks the text as overflowed instead of writing past it. An overflowed text has no c_str()
// (null), which ZylUSBExecuteCommand refuses with ZYL_INVALID_ARGUMENT before anything is sent:
// a command cut short is never sent.
template <std::size_t N>
class CommandText {
 public:
  explicit CommandText(std::string_view prefix = {}) { append(prefix); }

  CommandText& append(std::string_view s) {
    if (s.size() > N - 1 - len_) {
      overflowed_ = true;
      return *this;
    }
    for (char c : s) text_[len_++] = c;
    text_[len_] = '\0';
    return *this;
  }
  // printf("%0*llx") / ("%0*llX"): at least `width` digits, more when the value needs them.
  CommandText& hex(uint64_t value, int width, bool upper = false) {
    return number(value, 16, width, upper);
  }
  // printf("%0*llu").
  CommandText& dec(uint64_t value, int width) { return number(value, 10, width, false); }
  // printf("%0*lld"): the sign counts toward the width.
  CommandText& sdec(int64_t value, int width) {
    if (value >= 0) return dec(static_cast<uint64_t>(value), width);
    append("-");
    return dec(~static_cast<uint64_t>(value) + 1, width > 1 ? width - 1 : 0);
  }

  const char* c_str() const { return overflowed_ ? nullptr : text_; }
  std::string_view view() const { return {text_, len_}; }
  std::size_t size() const { return len_; }
  bool overflowed() const { return overflowed_; }

 private:
  CommandText& number(uint64_t value, int base, int width, bool upper) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, base);
    (void)ec;  // 24 characters hold any 64-bit value in base 10 or 16
    const std::size_t n = static_cast<std::size_t>(end - digits);
    if (upper)
      for (char* p = digits; p != end; ++p)
        if (*p >= 'a' && *p <= 'f') *p = static_cast<char>(*p - 'a' + 'A');
    char padded[48];
    std::size_t pad = width > 0 && static_cast<std::size_t>(width) > n ? width - n : 0;
    if (pad > sizeof padded - n) pad = sizeof padded - n;
    std::size_t k = 0;
    for (; k < pad; ++k) padded[k] = '0';
    for (std::size_t i = 0; i < n; ++i) padded[k++] = digits[i];
    return append({padded, k});
  }

  char text_[N] = {};
  std::size_t len_ = 0;
  bool overflowed_ = false;
};

// Whether a reply of `received` bytes is the acknowledgement: its text up to the first zero byte
// is "ACK" (a reply that fills its whole buffer has no room for a terminator and is not).
inline bool isAcknowledgement(const unsigned char* reply, long received, std::size_t capacity) {
  if (received < 0 || static_cast<std::size_t>(received) >= capacity) return false;
  const std::string_view text(reinterpret_cast<const char*>(reply), std::size_t(received));
  return text.substr(0, text.find('\0')) == "ACK";
}

// A reply as received: reads at fixed offsets never look beyond `length` bytes.
class ReplyView {
 public:
  ReplyView(const void* data, long length)
      : data_(static_cast<const char*>(data)), size_(length > 0 ? std::size_t(length) : 0) {}

  std::size_t size() const { return size_; }
  bool has(std::size_t offset, std::size_t width) const {
    return offset <= size_ && width <= size_ - offset;
  }
  // The characters at [offset, offset + width), cut at the end of the reply.
  std::string_view text(std::size_t offset, std::size_t width) const {
    if (offset >= size_) return {};
    return {data_ + offset, width < size_ - offset ? width : size_ - offset};
  }
  // `width` hexadecimal digits at `offset` (either case); nothing when the field is not wholly
  // inside the reply or holds anything but hexadecimal digits.
  std::optional<uint32_t> hex(std::size_t offset, std::size_t width) const {
    if (width == 0 || width > 8 || !has(offset, width)) return std::nullopt;
    return hexField(std::string_view(data_ + offset, width));
  }

 private:
  const char* data_;
  std::size_t size_;
};

}  // namespace zyl::detail
