#include "sim/pirani_gauge.h"

#include <charconv>

#include "sim/physics.h"

namespace zyl::sim {
namespace {

constexpr std::string_view kAddress = "@254";
constexpr std::string_view kEnd = ";FF";
constexpr std::string_view kAck = "@253ACK";
constexpr std::string_view kUnknownCommand = "@253NAK160;FF";
constexpr size_t kMaxText = 64;  // a longer text without terminator is line noise

}  // namespace

std::string PiraniGauge::reading(FirmwareContext& f) {
  double value = physicsNow(f).pressureMbar();
  if (unit_ == Unit::Torr) value *= 0.750062;
  if (unit_ == Unit::Pascal) value *= 100.0;
  char digits[32];
  auto [end, ec] =
      std::to_chars(digits, digits + sizeof digits, value, std::chars_format::scientific, 2);
  if (ec != std::errc()) end = digits;
  for (char* p = digits; p != end; ++p)
    if (*p == 'e') *p = 'E';
  std::string text(kAck);
  text.append(digits, end).append(kEnd);
  return text;
}

std::string PiraniGauge::answerTo(FirmwareContext& f, std::string_view command) {
  if (command.starts_with("BR!")) {
    int baud = 0;
    const std::string_view v = command.substr(3);
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), baud);
    if (ec != std::errc() || p != v.data() + v.size() || baud <= 0)
      return std::string(kUnknownCommand);
    baud_ = baud;
  } else if (command == "U!MBAR") {
    unit_ = Unit::Mbar;
  } else if (command == "U!TORR") {
    unit_ = Unit::Torr;
  } else if (command == "U!PASCAL") {
    unit_ = Unit::Pascal;
  } else if (command != "PR1?") {
    return std::string(kUnknownCommand);
  }
  return reading(f);
}

void PiraniGauge::receive(FirmwareContext& f, std::span<const uint8_t> bytes,
                          std::deque<uint8_t>& answer) {
  for (uint8_t b : bytes) {
    if (b == '@') pending_.clear();  // a new text starts; whatever came before was noise
    pending_.push_back(static_cast<char>(b));
    if (pending_.size() > kMaxText) pending_.clear();
    if (!pending_.ends_with(kEnd)) continue;
    const std::string text = std::move(pending_);
    pending_.clear();
    if (!text.starts_with(kAddress)) continue;
    const std::string_view command =
        std::string_view(text).substr(kAddress.size(), text.size() - kAddress.size() - kEnd.size());
    const std::string reply = answerTo(f, command);
    answer.insert(answer.end(), reply.begin(), reply.end());
  }
}

}  // namespace zyl::sim
