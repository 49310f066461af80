// The status record: the polled refresh of older firmware, the "-1B3000" reply with its serial
// text, and the V3 status-pipe frame.
//
// Choices where the protocol leaves room:
//  - a "-1B3000" reply of 4 to 136 characters applies only the groups it holds completely (an ADC
//    group cut by the end of the reply keeps its old value); the serial text is parsed only when
//    the reply reaches offset 137 (an empty text there resets pressure and speed, as any text
//    without "ACK" does);
//  - a field of a V3 frame is parsed only when it lies wholly inside the received bytes; a
//    hexadecimal group holds a number when it starts (after blanks) with a hexadecimal digit, and
//    its value is that of the digits up to the first other character;
//  - a V3 pressure or pump speed whose marker is the last thing received keeps its old value;
//  - a heater readback record whose two hexadecimal groups are not both there changes nothing.
// Decimal numbers are read with std::from_chars ('.' whatever the host's locale), which needs no
// change to the text and no process-wide locale data, so the status thread can use it too.
#include <cstdio>
#include <cstring>

#include "status/status_text.h"
#include "zyl/ZylInterface.h"

namespace {

using zyl::detail::decimalInteger;
using zyl::detail::decimalNumber;
using zyl::detail::hexNumber;
using zyl::detail::hexPrefix;

constexpr long kReplyCapacity = 512;
constexpr unsigned long kStatusTimeoutMs = 6000;
constexpr long kMinimalReply = 4;

// "-1B3000" reply layout.
constexpr size_t kReplyAdcOffset = 5;
constexpr size_t kReplyInputsOffset = 133;
constexpr size_t kReplySerialOffset = 137;

// V3 frame layout.
constexpr size_t kFrameInputsOffset = 128;
constexpr size_t kGaugeOffset = 132;
constexpr size_t kGaugeWindow = 18;
constexpr size_t kPumpOffset = 165;
constexpr size_t kPumpWindow = 15;
constexpr size_t kHeaterOffset = 199;  // digits of group 0; its separator sits before it
constexpr size_t kHeaterStride = 5;

constexpr size_t kGroup = 4;
constexpr size_t kAdcChannels = 32;
constexpr double kNoPressure = 99.0;
constexpr std::string_view kGaugeAck = "@253ACK";

// Heater readback record of the serial text, relative to its "|".
constexpr size_t kHeaterNumberAt = 17;
constexpr size_t kHeaterNumberWidth = 2;
constexpr size_t kHeaterValueAt = 23;
constexpr size_t kHeaterValueEnd = 35;  // the text is cut after offset 34

// Each field of the record is written whole; readers need no ordering between fields (they may
// see fields of two successive frames side by side anyway), so the cheap store suffices.
template <typename T, typename V>
void store(std::atomic<T>& field, V value) {
  field.store(static_cast<T>(value), std::memory_order_relaxed);
}

double pressureOrNone(double value) {
  return value == 0.0 ? kNoPressure : value;
}

// The group of `width` characters at `offset`, or nothing when the text ends inside it.
std::optional<std::string_view> field(std::string_view text, size_t offset, size_t width) {
  if (offset > text.size() || width > text.size() - offset) return std::nullopt;
  return text.substr(offset, width);
}

bool pumpRunningBit(std::string_view afterSemicolon) {
  return ((hexNumber(afterSemicolon) >> 4) & 1) != 0;
}

// Two groups of up to four hexadecimal digits, the first the low half of a float's bits.
std::optional<float> readbackFloat(std::string_view window) {
  uint32_t halves[2];
  for (uint32_t& half : halves) {
    window = zyl::detail::trimBlanks(window);
    const auto hex = zyl::detail::leadingHex(window, 4);
    if (hex.digits == 0) return std::nullopt;
    half = hex.value;
    window.remove_prefix(hex.digits);
  }
  const uint32_t bits = (halves[1] << 16) | halves[0];
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace

unsigned int ZylInterface::UpdateStatusIfNeeded() {
  if (firmwareV3) return ZYL_SUCCESS;
  const uint64_t age = GetTimeMS() - lastStatusTimeMs;
  return age > statusMaxAgeMs ? ForceStatusUpdate() : ZYL_SUCCESS;
}

unsigned int ZylInterface::ForceStatusUpdate() {
  if (firmwareV3) return ZYL_SUCCESS;
  // Stamped before the command: an instrument that does not answer is asked again only after
  // another full refresh interval.
  lastStatusTimeMs = GetTimeMS();
  unsigned char reply[kReplyCapacity + 1];  // room for the terminator of a full reply
  long length = kReplyCapacity;
  const unsigned int result =
      ZylUSBExecuteCommand("-1B3000", reply, length, true, kStatusTimeoutMs, kStatusTimeoutMs);
  if (result != ZYL_SUCCESS || length < kMinimalReply) {
    std::fprintf(stderr, "Status read failed.  nRet = %u, lBytes = %ld\n", result, length);
    std::fflush(stderr);
    return result;
  }
  reply[length] = 0;
  applyStatusReply(reinterpret_cast<char*>(reply), length);
  return ZYL_SUCCESS;
}

void ZylInterface::applyStatusReply(char* reply, long length) {
  const std::string_view text(reply, length > 0 ? static_cast<size_t>(length) : 0);
  for (size_t channel = 0; channel < kAdcChannels; ++channel) {
    const auto group = field(text, kReplyAdcOffset + channel * kGroup, kGroup);
    if (!group) return;
    store(adcChannels[channel], static_cast<uint16_t>(hexPrefix(*group).value_or(0)));
  }
  const auto inputs = field(text, kReplyInputsOffset, kGroup);
  if (!inputs) return;
  store(digitalInputs, static_cast<uint16_t>(hexPrefix(*inputs).value_or(0)));
  if (text.size() >= kReplySerialOffset) ParseSerialData(reply + kReplySerialOffset);
}

void ZylInterface::ParseSerialData(char* serial) {
  store(pressureMbar, kNoPressure);
  store(pumpSpeed, 0);
  if (!serial) return;
  const std::string_view text(serial);

  const size_t ack = text.find("ACK");
  if (ack == std::string_view::npos) return;
  store(pressureMbar, pressureOrNone(decimalNumber(text.substr(ack + 3))));

  const size_t pump = text.find("V852");
  if (pump == std::string_view::npos) {
    std::fputs("Pump data bad\n", stderr);
    std::fflush(stderr);
    return;
  }
  store(pumpSpeed, decimalInteger(text.substr(pump + 4)));
  const size_t semicolon = text.find(';', pump + 4);
  if (semicolon == std::string_view::npos) return;
  store(pumpRunning, pumpRunningBit(text.substr(semicolon + 1)));

  if (!heaterReadbacksInStatus) return;
  const size_t bar = text.find('|', semicolon + 1);
  if (bar == std::string_view::npos) return;
  const std::string_view record = text.substr(bar);
  if (record.size() <= kHeaterValueAt) return;
  const int heater = decimalInteger(record.substr(kHeaterNumberAt, kHeaterNumberWidth));
  if (heater < 1 || heater > 3) return;
  const auto value = readbackFloat(record.substr(kHeaterValueAt, kHeaterValueEnd - kHeaterValueAt));
  if (!value) return;
  store(heater == 1 ? capillaryReadback : heater == 2 ? desolvationReadback : apciReadback, *value);
}

void ZylInterface::parseStatusFrame(const char* frame, size_t length) {
  const std::string_view text(frame, frame ? length : 0);
  for (size_t channel = 0; channel < kAdcChannels; ++channel) {
    const auto group = field(text, channel * kGroup, kGroup);
    if (!group) return;
    if (const auto value = hexPrefix(*group))
      store(adcChannels[channel], static_cast<uint16_t>(*value));
  }
  const auto inputs = field(text, kFrameInputsOffset, kGroup);
  if (!inputs) return;
  if (const auto value = hexPrefix(*inputs)) store(digitalInputs, static_cast<uint16_t>(*value));

  if (text.size() > kGaugeOffset) {
    const size_t ack = text.find(kGaugeAck, kGaugeOffset);
    if (ack != std::string_view::npos && ack - kGaugeOffset < kGaugeWindow &&
        ack + kGaugeAck.size() < text.size())
      store(pressureMbar, pressureOrNone(decimalNumber(text.substr(ack + kGaugeAck.size()))));
  }

  if (text.size() > kPumpOffset) {
    const size_t v = text.find('V', kPumpOffset);
    // The speed starts after "V852"; a text that ends before it has no speed to give.
    if (v != std::string_view::npos && v - kPumpOffset < kPumpWindow && v + 4 < text.size()) {
      store(pumpSpeed, decimalInteger(text.substr(v + 4)));
      const size_t semicolon = text.find(';', v + 1);
      if (semicolon != std::string_view::npos)
        store(pumpRunning, pumpRunningBit(text.substr(semicolon + 1)));
    }
  }

  std::atomic<float>* readbacks[] = {nullptr, &capillaryReadback, &desolvationReadback,
                                     &apciReadback};
  for (size_t k = 0; k < 4; ++k) {
    const auto group = field(text, kHeaterOffset + k * kHeaterStride, kGroup);
    if (!group) return;
    const auto value = hexPrefix(*group);
    if (value && readbacks[k]) store(*readbacks[k], static_cast<float>(*value));
  }
}
