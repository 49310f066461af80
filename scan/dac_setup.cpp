// The DAC channel table and its transfer to the instrument.
//
// The host only stores channel parameters; codes are computed and sent before a scan, and sent
// again only when `dacDirty` says the instrument no longer matches the table. Older firmware takes
// one command per channel plus the range command and the digital outputs (`DACSetup`); V3 firmware
// takes every code in one "-1B13" command (`DACSetupHS`).
//
// Choice where the protocol leaves it open: the table has 16 entries, and a channel number above
// 15 is refused with ZYL_INVALID_ARGUMENT by every setter and getter; nothing is stored, written
// through the caller's pointers or marked dirty.
#include "link/wire.h"
#include "zyl/ZylInterface.h"

namespace {

constexpr unsigned int kChannels = 16;
constexpr std::string_view kLimitsSuffix = "0000FFFF";

// The code as the instrument takes it: the signed value shifted by 32768.
uint16_t offsetForm(int16_t code) {
  return static_cast<uint16_t>(static_cast<uint16_t>(code) ^ 0x8000u);
}

// Channels 5 to 9 drive electrodes whose sign follows the ion polarity.
bool followsPolarity(unsigned int channel) {
  return channel >= 5 && channel <= 9;
}

int16_t truncateToCode(double value) {
  return static_cast<int16_t>(static_cast<int32_t>(value));  // toward zero; always in range
}

}  // namespace

unsigned int ZylInterface::SetScanParams(unsigned char channel, short base, short span) {
  if (channel >= kChannels) return ZYL_INVALID_ARGUMENT;
  dacChannels[channel].base = base;
  dacChannels[channel].span = span;
  dacDirty = 1;
  return ZYL_SUCCESS;
}

unsigned int ZylInterface::GetScanParams(unsigned char channel, short* base, short* span) {
  if (channel >= kChannels) return ZYL_INVALID_ARGUMENT;
  if (base) *base = dacChannels[channel].base;
  if (span) *span = dacChannels[channel].span;
  return ZYL_SUCCESS;
}

unsigned int ZylInterface::SetDACParam(unsigned char channel, short value) {
  if (channel >= kChannels) return ZYL_INVALID_ARGUMENT;
  dacChannels[channel].base = value;
  dacChannels[channel].span = 0;
  dacDirty = 1;
  return ZYL_SUCCESS;
}

unsigned int ZylInterface::GetDACParam(unsigned char channel, short* value) {
  if (channel >= kChannels) return ZYL_INVALID_ARGUMENT;
  if (value) *value = dacChannels[channel].base;
  return ZYL_SUCCESS;
}

unsigned int ZylInterface::UpdateDACs(unsigned short start, unsigned short end, bool highSpeed,
                                      bool normalPolarity) {
  DebugOut("Setting DACs");
  for (unsigned int i = 0; i < kChannels; ++i) {
    DacChannel& ch = dacChannels[i];
    if (ch.kind == Ramped) {
      // The span is cut so that the top of the sweep stays within +-32767.
      double span = ch.span;
      if (ch.base + ch.span > 32767)
        span = 32767 - ch.base;
      else if (ch.base + ch.span < -32767)
        span = -32767 - ch.base;
      ch.startCode = truncateToCode(span * (start / 65535.0) + ch.base);
      ch.endCode = truncateToCode(span * (end / 65535.0) + ch.base);
    } else {
      ch.startCode = ch.base;
      ch.endCode = static_cast<int16_t>(ch.base + ch.span);
    }
    if (!normalPolarity && followsPolarity(i)) {
      ch.startCode = static_cast<int16_t>(-static_cast<uint16_t>(ch.startCode));
      ch.endCode = static_cast<int16_t>(-static_cast<uint16_t>(ch.endCode));
    }
  }
  return highSpeed ? DACSetupHS(start, end) : DACSetup(start, end);
}

unsigned int ZylInterface::DACSetup(unsigned short start, unsigned short end) {
  for (unsigned int i = 0; i < kChannels; ++i) {
    const DacChannel& ch = dacChannels[i];
    zyl::detail::CommandText<64> command(ch.kind == Ramped ? "-1B100001" : "-1B100002");
    command.hex(i, 4).hex(offsetForm(ch.startCode), 4);
    if (ch.kind == Ramped)
      command.hex(offsetForm(ch.endCode), 4);
    else
      command.append("0000");
    if (firmwareAfter030512) command.append(kLimitsSuffix);
    if (unsigned int result = sendAcknowledged(command.c_str())) return result;
  }
  zyl::detail::CommandText<64> range("-1B1000030000");
  range.hex(start, 4).hex(end, 4);
  if (firmwareAfter030512) range.append(kLimitsSuffix);
  if (unsigned int result = sendAcknowledged(range.c_str())) return result;

  const unsigned int result = WriteDigitalOut();
  dacDirty = 0;
  return result;
}

unsigned int ZylInterface::DACSetupHS(unsigned short start, unsigned short end) {
  // 5 + 12 fixed records of 6 + 4 ramped records of 10 + the range record of 10 with the
  // channel kinds set at construction; room for every channel ramped.
  zyl::detail::CommandText<5 + 16 * 10 + 10 + 1> command("-1B13");
  for (unsigned int i = 0; i < kChannels; ++i) {
    const DacChannel& ch = dacChannels[i];
    if (ch.kind == Ramped)
      command.hex(i + 0x80, 2).hex(offsetForm(ch.startCode), 4).hex(offsetForm(ch.endCode), 4);
    else
      command.hex(i, 2).hex(offsetForm(ch.startCode), 4);
  }
  command.hex(0x91, 2).hex(start, 4).hex(end, 4);
  const unsigned int result = sendAcknowledged(command.c_str());
  if (result == ZYL_SUCCESS) dacDirty = 0;
  return result;
}
