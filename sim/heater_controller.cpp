#include "sim/heater_controller.h"

#include <bit>

#include "sim/physics.h"
#include "sim/serial_ports.h"

namespace zyl::sim {
namespace {

constexpr uint8_t kIllegalFunction = 1;
constexpr uint8_t kIllegalAddress = 2;
constexpr uint8_t kIllegalValue = 3;
constexpr uint16_t kMaxReadWords = 125;
constexpr uint16_t kMaxWriteWords = 123;

uint16_t word(std::span<const uint8_t> p, size_t at) {
  return static_cast<uint16_t>(p[at] << 8 | p[at + 1]);
}

void putWord(std::vector<uint8_t>& out, uint16_t w) {
  out.push_back(static_cast<uint8_t>(w >> 8));
  out.push_back(static_cast<uint8_t>(w & 0xFF));
}

std::vector<uint8_t> exception(uint8_t function, uint8_t code) {
  return {static_cast<uint8_t>(function | 0x80), code};
}

uint32_t floatBits(double value) {
  return std::bit_cast<uint32_t>(static_cast<float>(value));
}

}  // namespace

std::optional<uint16_t> HeaterController::read(const PhysicalModel& m, uint16_t reg) const {
  const PhysicalModel::Heater& h = m.heater(heater_);
  switch (reg) {
    case kOnOff:
      return h.on ? kOn : kOff;
    case kReserved:
      return 0;
    case kSetpoint:
      return static_cast<uint16_t>(floatBits(h.setpointC) & 0xFFFF);
    case kSetpoint + 1:
      return static_cast<uint16_t>(floatBits(h.setpointC) >> 16);
    case kTemperature:
      return static_cast<uint16_t>(floatBits(h.temperatureC) & 0xFFFF);
    case kTemperature + 1:
      return static_cast<uint16_t>(floatBits(h.temperatureC) >> 16);
    default:
      return std::nullopt;
  }
}

uint8_t HeaterController::checkWrite(uint16_t reg, uint16_t value) const {
  switch (reg) {
    case kOnOff:
      return value == kOn || value == kOff ? 0 : kIllegalValue;
    case kReserved:
    case kSetpoint:
    case kSetpoint + 1:
      return 0;
    default:
      return kIllegalAddress;
  }
}

void HeaterController::write(PhysicalModel& m, uint16_t reg, uint16_t value) {
  PhysicalModel::Heater& h = m.heater(heater_);
  const uint32_t bits = floatBits(h.setpointC);
  switch (reg) {
    case kOnOff:
      h.on = value == kOn;
      break;
    case kSetpoint:
      h.setpointC = std::bit_cast<float>((bits & 0xFFFF0000u) | value);
      break;
    case kSetpoint + 1:
      h.setpointC = std::bit_cast<float>((bits & 0xFFFFu) | uint32_t{value} << 16);
      break;
    default:
      break;
  }
}

std::vector<uint8_t> HeaterController::handle(FirmwareContext& f, std::span<const uint8_t> pdu) {
  if (pdu.empty()) return {};
  const uint8_t function = pdu[0];
  PhysicalModel& m = physicsNow(f);
  switch (function) {
    case 0x03: {
      if (pdu.size() != 5) return exception(function, kIllegalValue);
      const uint16_t start = word(pdu, 1), count = word(pdu, 3);
      if (count == 0 || count > kMaxReadWords) return exception(function, kIllegalValue);
      std::vector<uint8_t> out{function, static_cast<uint8_t>(2 * count)};
      for (uint16_t i = 0; i < count; ++i) {
        const auto value = read(m, static_cast<uint16_t>(start + i));
        if (!value) return exception(function, kIllegalAddress);
        putWord(out, *value);
      }
      return out;
    }
    case 0x06: {
      if (pdu.size() != 5) return exception(function, kIllegalValue);
      const uint16_t reg = word(pdu, 1), value = word(pdu, 3);
      if (uint8_t code = checkWrite(reg, value)) return exception(function, code);
      write(m, reg, value);
      return {pdu.begin(), pdu.end()};
    }
    case 0x10: {
      if (pdu.size() < 6) return exception(function, kIllegalValue);
      const uint16_t start = word(pdu, 1), count = word(pdu, 3);
      const size_t bytes = pdu[5];
      if (count == 0 || count > kMaxWriteWords || bytes != 2u * count || pdu.size() != 6 + bytes)
        return exception(function, kIllegalValue);
      for (uint16_t i = 0; i < count; ++i)
        if (uint8_t code = checkWrite(static_cast<uint16_t>(start + i), word(pdu, 6 + 2 * i)))
          return exception(function, code);
      for (uint16_t i = 0; i < count; ++i)
        write(m, static_cast<uint16_t>(start + i), word(pdu, 6 + 2 * i));
      return {pdu.begin(), pdu.begin() + 5};
    }
    default:
      return exception(function, kIllegalFunction);
  }
}

}  // namespace zyl::sim
