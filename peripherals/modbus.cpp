// Modbus over the serial passthrough: requests built as text, sent through a serial port, and the
// answer read back after a fixed pause. ASCII frames travel as characters; an RTU frame is hex
// text from end to end (built, sent, read back and searched as hex digit pairs), because the
// passthrough moves bytes only as hex pairs.
//
// Replies are searched, not verified: neither their checksum nor an exception function code is
// checked, so a device that answers with a wrong CRC still has its value taken, and a write
// succeeds whenever the reply could be read. Where the protocol leaves the behaviour to us:
//  - a null value pointer is refused with ZYL_INVALID_ARGUMENT before anything is sent;
//  - numbers in replies are read as hex digits only (no blanks are skipped), up to four per
//    register; the marker of an RTU read reply is matched exactly as sent (upper case).
// The CRC table is built by the compiler (peripherals/checksums.h); the working buffers belong to
// the instrument object, so two instruments may run Modbus operations at the same time.
#include <cstring>

#include "link/wire.h"
#include "peripherals/checksums.h"
#include "zyl/ZylInterface.h"

namespace {

using Frame = zyl::detail::CommandText<64>;
using zyl::detail::leadingHex;
using zyl::detail::ReplyView;

constexpr unsigned char kReadHolding = 0x03;
constexpr unsigned char kWriteMultiple = 0x10;
constexpr long kRtuReplyBytes = 512;      // at most 511 bytes, whose hex text fits the reply buffer
constexpr size_t kAsciiReplyValueAt = 7;  // behind ":", address, function and byte count
constexpr size_t kRtuWordsAt = 6;         // behind address, function and byte count
constexpr size_t kWordDigits = 4;

// ":AAFFRRRRSSSSLL\r\n": address, function, register, second field, LRC.
Frame asciiFrame(unsigned char address, unsigned char function, unsigned short reg,
                 unsigned short second) {
  const uint8_t message[] = {address,
                             function,
                             static_cast<uint8_t>(reg >> 8),
                             static_cast<uint8_t>(reg & 0xFF),
                             static_cast<uint8_t>(second >> 8),
                             static_cast<uint8_t>(second & 0xFF)};
  Frame frame(":");
  frame.hex(address, 2, true).hex(function, 2, true).hex(reg, 4, true).hex(second, 4, true);
  frame.hex(zyl::detail::lrc(message), 2, true).append("\r\n");
  return frame;
}

}  // namespace

unsigned short ZylInterface::calculateCRC(const char* hexText) {
  if (!hexText) return zyl::detail::kCrc16Initial;
  return zyl::detail::crc16OfHexText(hexText);
}

unsigned int ZylInterface::modbusExchange(int channel, std::string_view frame, bool rtu) {
  if (frame.size() >= sizeof modbusFrame) return ZYL_COMM_FAILURE;
  std::memcpy(modbusFrame, frame.data(), frame.size());
  modbusFrame[frame.size()] = '\0';
  modbusReplyLength = rtu ? kRtuReplyBytes : static_cast<long>(sizeof modbusReply);
  return serialCommand(channel, modbusFrame, modbusReply, modbusReplyLength, rtu) == ZYL_SUCCESS
             ? ZYL_SUCCESS
             : ZYL_COMM_FAILURE;
}

unsigned int ZylInterface::modbusRtuExchange(int channel, std::string_view body) {
  if (body.size() >= sizeof modbusBody) return ZYL_COMM_FAILURE;
  std::memcpy(modbusBody, body.data(), body.size());
  modbusBody[body.size()] = '\0';
  const unsigned short crc = calculateCRC(modbusBody);
  Frame frame(body);
  frame.hex(crc & 0xFF, 2, true).hex(crc >> 8, 2, true);  // the low byte travels first
  return modbusExchange(channel, frame.view(), true);
}

unsigned int ZylInterface::ModbusReadASCII(int channel, unsigned char address,
                                           unsigned char function, unsigned short reg,
                                           unsigned int* value) {
  if (!value) return ZYL_INVALID_ARGUMENT;
  const Frame frame = asciiFrame(address, function, reg, 1);
  const unsigned int result = modbusExchange(channel, frame.view(), false);
  // An echoing two-wire line hands the request back first; the response's value follows it.
  const ReplyView reply(modbusReply, modbusReplyLength);
  const size_t at = frame.size() + kAsciiReplyValueAt;
  const auto word = leadingHex(reply.text(at, kWordDigits), kWordDigits);
  if (word.digits > 0) *value = word.value;
  return result;
}

unsigned int ZylInterface::ModbusWriteASCII(int channel, unsigned char address,
                                            unsigned char function, unsigned short reg,
                                            unsigned short value) {
  return modbusExchange(channel, asciiFrame(address, function, reg, value).view(), false);
}

unsigned int ZylInterface::ModbusReadRTU(int channel, unsigned char address, unsigned short reg,
                                         unsigned int* value) {
  if (!value) return ZYL_INVALID_ARGUMENT;
  Frame body;
  body.hex(address, 2, true).hex(kReadHolding, 2, true).hex(reg, 4, true).append("0002");
  if (modbusRtuExchange(channel, body.view()) != ZYL_SUCCESS) return ZYL_COMM_FAILURE;

  Frame marker;
  marker.hex(address, 2, true).hex(kReadHolding, 2, true).append("04");
  const ReplyView reply(modbusReply, modbusReplyLength);
  const std::string_view text = reply.text(0, reply.size());
  const size_t found = text.find(marker.view());
  if (found == std::string_view::npos) return ZYL_COMM_FAILURE;

  const std::string_view words = text.substr(found + kRtuWordsAt);
  const auto low = leadingHex(words, kWordDigits);
  if (low.digits == 0) return ZYL_COMM_FAILURE;
  const auto high = leadingHex(words.substr(low.digits), kWordDigits);
  if (high.digits == 0) return ZYL_COMM_FAILURE;
  *value = high.value << 16 | low.value;
  return ZYL_SUCCESS;
}

unsigned int ZylInterface::ModbusWriteRTU(int channel, unsigned char address, unsigned short reg,
                                          unsigned int value) {
  Frame body;
  body.hex(address, 2, true).hex(kWriteMultiple, 2, true).hex(reg, 4, true).append("000204");
  body.hex(value & 0xFFFF, 4, true).hex(value >> 16, 4, true);  // low word first
  return modbusRtuExchange(channel, body.view());
}
