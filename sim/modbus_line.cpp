#include "sim/modbus_line.h"

#include "sim/checksums.h"
#include "sim/hex.h"

namespace zyl::sim {
namespace {

constexpr size_t kMaxAsciiFrame = 513;  // ':' + 252 bytes as hex pairs + "\r\n", with room

}  // namespace

HeaterController* ModbusLine::controller(int address) {
  const int i = address - kFirstAddress;
  return i >= 0 && i < static_cast<int>(controllers_.size()) ? &controllers_[static_cast<size_t>(i)]
                                                             : nullptr;
}

std::vector<uint8_t> ModbusLine::respond(FirmwareContext& f, std::span<const uint8_t> message) {
  if (message.size() < 2) return {};
  HeaterController* c = controller(message[0]);
  if (!c) return {};
  std::vector<uint8_t> out{message[0]};
  const std::vector<uint8_t> pdu = c->handle(f, message.subspan(1));
  if (pdu.empty()) return {};
  out.insert(out.end(), pdu.begin(), pdu.end());
  return out;
}

void ModbusLine::asciiFrame(FirmwareContext& f, std::deque<uint8_t>& answer) {
  // ':' hex pairs "\r\n": address, request, LRC.
  const std::string_view text = std::string_view(ascii_).substr(1, ascii_.size() - 3);
  if (text.size() % 2 != 0 || text.size() < 6) return;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    const auto b = hexField(text.substr(i, 2));
    if (!b) return;
    bytes.push_back(static_cast<uint8_t>(*b));
  }
  const std::span<const uint8_t> message(bytes.data(), bytes.size() - 1);
  if (lrc(message) != bytes.back()) {
    ++checksumErrors;
    return;
  }
  const std::vector<uint8_t> reply = respond(f, message);
  if (reply.empty()) return;
  answer.push_back(':');
  for (uint8_t b : reply) appendHex(answer, b, 2);
  appendHex(answer, lrc(reply), 2);
  answer.push_back('\r');
  answer.push_back('\n');
}

void ModbusLine::rtuFrame(FirmwareContext& f, std::span<const uint8_t> frame,
                          std::deque<uint8_t>& answer) {
  if (frame.size() < 4) return;
  const std::span<const uint8_t> message = frame.first(frame.size() - 2);
  const uint16_t sent = static_cast<uint16_t>(frame[frame.size() - 2] | frame.back() << 8);
  if (crc16Modbus(message) != sent) {
    ++checksumErrors;
    return;
  }
  const std::vector<uint8_t> reply = respond(f, message);
  if (reply.empty()) return;
  const uint16_t crc = crc16Modbus(reply);
  answer.insert(answer.end(), reply.begin(), reply.end());
  answer.push_back(static_cast<uint8_t>(crc & 0xFF));
  answer.push_back(static_cast<uint8_t>(crc >> 8));
}

void ModbusLine::receive(FirmwareContext& f, std::span<const uint8_t> bytes,
                         std::deque<uint8_t>& answer) {
  if (bytes.empty()) return;
  if (echo) answer.insert(answer.end(), bytes.begin(), bytes.end());
  if (ascii_.empty() && bytes[0] != ':') return rtuFrame(f, bytes, answer);
  for (uint8_t b : bytes) {
    if (b == ':')
      ascii_.clear();  // a new frame starts; an unfinished one is lost
    else if (ascii_.empty())
      continue;  // noise between frames
    ascii_.push_back(static_cast<char>(b));
    if (ascii_.size() > kMaxAsciiFrame) {
      ascii_.clear();
      continue;
    }
    if (ascii_.ends_with("\r\n")) {
      asciiFrame(f, answer);
      ascii_.clear();
    }
  }
}

}  // namespace zyl::sim
