#include "tools/zyl/modbus_frames.h"

#include <array>

namespace zyl::tool::modbus {
namespace {

constexpr uint8_t kExceptionBit = 0x80;
constexpr char kDigits[] = "0123456789ABCDEF";

uint16_t crc16(std::span<const uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1);
  }
  return crc;
}

uint8_t lrc(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes) sum = static_cast<uint8_t>(sum + b);
  return static_cast<uint8_t>(-sum);
}

void appendHex(std::string& out, uint8_t byte) {
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0xF];
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Hex digit pairs to bytes, stopping at the first character that is not a pair of digits.
std::vector<uint8_t> bytesOf(std::string_view hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int high = hexValue(hex[i]), low = hexValue(hex[i + 1]);
    if (high < 0 || low < 0) break;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return bytes;
}

// Is `message` (address, function, data) an answer to `function` of the expected length?
std::optional<Answer> answerAt(std::span<const uint8_t> message, uint8_t function,
                               size_t dataBytes) {
  if (message.size() < 3) return std::nullopt;
  const bool exception = message[1] == (function | kExceptionBit);
  if (!exception && message[1] != function) return std::nullopt;
  const size_t length = exception ? 1 : dataBytes ? dataBytes : size_t{1} + message[2];
  if (message.size() != 2 + length) return std::nullopt;
  Answer answer;
  answer.kind = exception ? Answer::Kind::Exception : Answer::Kind::Data;
  if (exception)
    answer.exceptionCode = message[2];
  else
    answer.data.assign(message.begin() + 2, message.end());
  return answer;
}

Answer findRtu(std::span<const uint8_t> bytes, uint8_t address, uint8_t function,
               size_t dataBytes) {
  // RTU has no frame delimiters: try every start and let the CRC decide where a frame ends.
  for (size_t start = 0; start + 5 <= bytes.size(); ++start) {
    if (bytes[start] != address) continue;
    for (size_t end = start + 5; end <= bytes.size(); ++end) {
      const auto message = bytes.subspan(start, end - start - 2);
      const uint16_t crc = static_cast<uint16_t>(bytes[end - 2] | bytes[end - 1] << 8);
      if (crc16(message) != crc) continue;
      if (auto answer = answerAt(message, function, dataBytes)) return *answer;
    }
  }
  return Answer{Answer::Kind::Unreadable, 0, {}};
}

Answer findAscii(std::string_view reply, uint8_t address, uint8_t function, size_t dataBytes) {
  for (size_t colon = reply.find(':'); colon != std::string_view::npos;
       colon = reply.find(':', colon + 1)) {
    const size_t end = reply.find_first_of("\r\n:", colon + 1);
    const std::vector<uint8_t> bytes =
        bytesOf(reply.substr(colon + 1, end == std::string_view::npos ? end : end - colon - 1));
    if (bytes.size() < 4 || bytes[0] != address) continue;
    const auto message = std::span(bytes).first(bytes.size() - 1);
    if (lrc(message) != bytes.back()) continue;
    if (auto answer = answerAt(message, function, dataBytes)) return *answer;
  }
  return Answer{Answer::Kind::Unreadable, 0, {}};
}

}  // namespace

std::string frame(Framing framing, uint8_t address, std::span<const uint8_t> pdu) {
  std::vector<uint8_t> message{address};
  message.insert(message.end(), pdu.begin(), pdu.end());
  std::string text = framing == Framing::Ascii ? ":" : "";
  for (uint8_t b : message) appendHex(text, b);
  if (framing == Framing::Ascii) {
    appendHex(text, lrc(message));
    return text + "\r\n";
  }
  const uint16_t crc = crc16(message);
  appendHex(text, static_cast<uint8_t>(crc & 0xFF));
  appendHex(text, static_cast<uint8_t>(crc >> 8));
  return text;
}

Answer findAnswer(Framing framing, std::string_view reply, uint8_t address, uint8_t function,
                  size_t dataBytes) {
  if (reply.find_first_not_of(" \r\n") == std::string_view::npos) return {};
  if (framing == Framing::Ascii) return findAscii(reply, address, function, dataBytes);
  const std::vector<uint8_t> bytes = bytesOf(reply);
  return findRtu(bytes, address, function, dataBytes);
}

std::string_view exceptionMeaning(uint8_t code) {
  static constexpr std::array<std::string_view, 12> kMeanings = {
      "unknown",
      "illegal function: the device does not offer this function",
      "illegal data address: the device has no such register, or it is read-only",
      "illegal data value: the device does not accept this value",
      "device failure",
      "acknowledge: accepted, still working",
      "device busy",
      "negative acknowledge",
      "memory parity error",
      "unknown",
      "gateway path unavailable",
      "gateway target did not respond"};
  return code < kMeanings.size() ? kMeanings[code] : kMeanings[0];
}

}  // namespace zyl::tool::modbus
