// The serial ports of the controller board, reached one command at a time: set a port up, write
// bytes to it, and read back whatever its device has sent, one byte per exchange.
//
// Where the protocol leaves the behaviour to us:
//  - texts longer than 251 characters (ASCII) or 502 hex digits (Hex), null texts or buffers and
//    read lengths below 1 are refused with ZYL_INVALID_ARGUMENT before anything is sent; the
//    command-with-reply operations check all of their arguments before their flush read;
//  - an availability reply shorter than 8 characters or a byte-fetch reply shorter than 11 ends
//    the read with ZYL_COMM_FAILURE; the bytes read before it are kept, terminated and counted;
//  - numbers in replies are hex digits only (no blanks, sign or "0x" are skipped); a fetched pair
//    is read as far as it is hex ("4G" is 4, "G4" is 0).
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "link/clock.h"
#include "link/wire.h"
#include "peripherals/checksums.h"
#include "zyl/ZylInterface.h"

namespace {

using Command = zyl::detail::CommandText<1024>;
using zyl::detail::ReplyView;

constexpr unsigned long kSerialTimeoutMs = 10000;
constexpr size_t kAvailabilityCapacity = 512;
constexpr size_t kFetchCapacity = 11;
constexpr size_t kAvailabilityOffset = 7;
constexpr size_t kFetchOffset = 9;
constexpr size_t kMaxSerialBytes = 251;  // the length field has two hex digits and the command
                                         // must fit 512 characters
constexpr uint32_t kReplyPauseMs = 100;
constexpr size_t kFlushCapacity = 64;
constexpr int kModbusLineChannel = 6;
constexpr int kModbusLineSetting = 5;
constexpr int kDefaultLineSetting = 3;

// printf("%02X") of an int: a negative channel shows as its 32-bit two's complement.
void appendChannelHex(Command& c, int channel) {
  c.hex(static_cast<uint32_t>(channel), 2, true);
}

// printf("%02d"): the sign counts toward the width.
void appendChannelDec(Command& c, int channel) {
  if (channel >= 0) {
    c.dec(static_cast<uint64_t>(channel), 2);
  } else {
    c.append("-");
    c.dec(static_cast<uint64_t>(-static_cast<int64_t>(channel)), 1);
  }
}

}  // namespace

unsigned int ZylInterface::ZylUSBSetupSerial(int channel) {
  Command command("-1B40");
  appendChannelHex(command, channel);
  command.hex(channel == kModbusLineChannel ? kModbusLineSetting : kDefaultLineSetting, 2, true);
  return sendAcknowledged(command.c_str(), true, kSerialTimeoutMs, kSerialTimeoutMs);
}

unsigned int ZylInterface::writeSerial(int channel, const char* data, bool hex) {
  if (!data) return ZYL_INVALID_ARGUMENT;
  const size_t limit = hex ? 2 * kMaxSerialBytes : kMaxSerialBytes;
  const size_t n = strnlen(data, limit + 1);
  if (n > limit) return ZYL_INVALID_ARGUMENT;

  if (ZylUSBSetupSerial(channel) != ZYL_SUCCESS) return ZYL_COMM_FAILURE;

  Command command("-1B41");
  appendChannelDec(command, channel);
  if (hex) {
    command.hex(n / 2, 2);
    command.append({data, n});
  } else {
    command.hex(n, 2);
    for (size_t i = 0; i < n; ++i) command.hex(static_cast<unsigned char>(data[i]), 2);
  }
  return sendAcknowledged(command.c_str(), true, kSerialTimeoutMs, kSerialTimeoutMs);
}

unsigned int ZylInterface::ZylUSBWriteSerialASCII(int channel, const char* text) {
  return writeSerial(channel, text, false);
}

unsigned int ZylInterface::ZylUSBWriteSerialHex(int channel, const char* hexText) {
  return writeSerial(channel, hexText, true);
}

unsigned int ZylInterface::readSerial(int channel, char* buffer, long& length, bool hex) {
  if (!buffer || length < 1) return ZYL_INVALID_ARGUMENT;
  const long capacity = length - 1;  // in bytes; the Hex form stores two characters per byte
  long stored = 0;

  Command query("-1B42");
  appendChannelHex(query, channel);
  Command fetch("-1B43");
  appendChannelHex(fetch, channel);
  fetch.hex(1, 2, true);

  // One unlogged exchange; the reply's characters from `offset` on, or nothing when the exchange
  // failed or the reply ended before `offset + width`.
  auto ask = [&](const Command& command, std::span<unsigned char> reply, size_t offset,
                 size_t width) -> std::optional<std::string_view> {
    long got = static_cast<long>(reply.size());
    if (ZylUSBExecuteCommand(command.c_str(), reply.data(), got, false, kSerialTimeoutMs,
                             kSerialTimeoutMs) != ZYL_SUCCESS)
      return std::nullopt;
    const ReplyView view(reply.data(), got);
    if (!view.has(offset, width)) return std::nullopt;
    return view.text(offset, view.size() - offset);
  };

  unsigned char waiting[kAvailabilityCapacity];
  unsigned char byteReply[kFetchCapacity];
  unsigned int result = ZYL_SUCCESS;
  for (;;) {
    const auto count = ask(query, waiting, kAvailabilityOffset, 1);
    if (!count) {
      result = ZYL_COMM_FAILURE;
      break;
    }
    const auto waitingBytes = zyl::detail::leadingHex(*count);
    if (waitingBytes.digits == 0 || waitingBytes.value != 1) break;

    const auto pair = ask(fetch, byteReply, kFetchOffset, 2);
    if (!pair) {
      result = ZYL_COMM_FAILURE;
      break;
    }
    if (stored < capacity) {
      const std::string_view digits = *pair;
      if (hex) {
        buffer[2 * stored] = digits[0];
        buffer[2 * stored + 1] = digits[1];
      } else {
        buffer[stored] = static_cast<char>(zyl::detail::leadingHex(digits, 2).value);
      }
      ++stored;
    }
    if (stored == capacity) break;
  }

  const long characters = hex ? 2 * stored : stored;
  buffer[characters] = '\0';
  length = characters;
  return result;
}

unsigned int ZylInterface::ZylUSBReadSerialASCII(int channel, char* buffer, long& length) {
  return readSerial(channel, buffer, length, false);
}

unsigned int ZylInterface::ZylUSBReadSerialHex(int channel, char* buffer, long& length) {
  return readSerial(channel, buffer, length, true);
}

unsigned int ZylInterface::ReadSerial(int channel, char* buffer, long& length) {
  return ZylUSBReadSerialASCII(channel, buffer, length);
}

unsigned int ZylInterface::serialCommand(int channel, const char* command, char* reply,
                                         long& length, bool hex) {
  if (!command || !reply || length < 1) return ZYL_INVALID_ARGUMENT;
  const size_t limit = hex ? 2 * kMaxSerialBytes : kMaxSerialBytes;
  if (strnlen(command, limit + 1) > limit) return ZYL_INVALID_ARGUMENT;

  // Whatever the device sent before belongs to no one; more than fits the scratch buffer stays
  // waiting and ends up in the reply.
  char scratch[kFlushCapacity];
  long scratchLength = sizeof scratch;
  if (ZylUSBReadSerialASCII(channel, scratch, scratchLength) != ZYL_SUCCESS)
    return ZYL_COMM_FAILURE;
  if (writeSerial(channel, command, hex) != ZYL_SUCCESS) return ZYL_COMM_FAILURE;
  zyl::detail::clock().sleepMs(kReplyPauseMs);
  return readSerial(channel, reply, length, hex) == ZYL_SUCCESS ? ZYL_SUCCESS : ZYL_COMM_FAILURE;
}

unsigned int ZylInterface::SerialCommandASCII(int channel, const char* command, char* reply,
                                              long& length) {
  return serialCommand(channel, command, reply, length, false);
}

unsigned int ZylInterface::SerialCommandHex(int channel, const char* hexCommand, char* reply,
                                            long& length) {
  return serialCommand(channel, hexCommand, reply, length, true);
}
