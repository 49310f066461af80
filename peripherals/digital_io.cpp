// Digital and analog I/O: the host keeps the 64-bit output word and sends its complement; inputs
// and ADC readings come from the status record; analog and I2C settings pass straight through.
//
// Choices where the protocol leaves room: ADC channels of 32 and above and digital inputs of 16
// and above read 0 (after the status refresh, whose failure still reads 2); a digital output of
// 64 or more has no bit, reads 0, and switching it still marks the DACs and sends the word.
#include "link/wire.h"
#include "peripherals/output_word.h"
#include "zyl/ZylInterface.h"

namespace {

constexpr unsigned kInputChannels = 16;
constexpr unsigned kAdcChannels = 32;

unsigned char inputBit(unsigned inputs, unsigned channel) {
  return channel < kInputChannels ? static_cast<unsigned char>((inputs >> channel) & 1) : 0;
}

}  // namespace

unsigned int ZylInterface::WriteDigitalOut() {
  if (!connected()) return ZYL_COMM_FAILURE;
  zyl::detail::CommandText<32> command("-1B21");
  command.hex(~digitalOutputs, 16);
  return sendAcknowledged(command.c_str());
}

unsigned char ZylInterface::GetDigOut(unsigned char channel) {
  return zyl::detail::outputOn(digitalOutputs, channel) ? 1 : 0;
}

unsigned int ZylInterface::SetDigOut(unsigned char channel, unsigned char on) {
  return SetDigOut(channel, on, 1);
}

unsigned int ZylInterface::SetDigOut(unsigned char channel, unsigned char on, unsigned char send) {
  if (channel == zyl::detail::kPolarityChannel) {
    if (on)
      digitalOutputs |= zyl::detail::kChannel14Group;
    else
      digitalOutputs &= ~zyl::detail::kChannel14Group;
  }
  zyl::detail::setOutput(digitalOutputs, channel, on != 0);
  dacDirty = 1;
  return send ? WriteDigitalOut() : ZYL_SUCCESS;
}

unsigned char ZylInterface::GetDigIn(unsigned char channel) {
  if (UpdateStatusIfNeeded() != ZYL_SUCCESS) return ZYL_COMM_FAILURE;
  return inputBit(digitalInputs, channel);
}

unsigned char ZylInterface::GetDigitalInput(unsigned short inputs, unsigned char channel) {
  return inputBit(inputs, channel);
}

unsigned char ZylInterface::IsPressureSensitiveChannel(unsigned char channel) {
  return channel == 10 || channel == 11 ? 1 : 0;
}

unsigned short ZylInterface::ReadADC(unsigned char channel) {
  if (UpdateStatusIfNeeded() != ZYL_SUCCESS) return ZYL_COMM_FAILURE;
  return channel < kAdcChannels ? adcChannels[channel].load() : 0;
}

unsigned int ZylInterface::ConfigureAnalogInput(int input, int setting) {
  zyl::detail::CommandText<48> command("-1B530");
  command.sdec(input, 1).append("0").sdec(setting, 1);
  return sendAcknowledged(command.c_str());
}

unsigned int ZylInterface::SetAnalogOutput(int channel, unsigned short value, int mode) {
  // The instrument counts its analog outputs from 1; the mode goes out as printf's %X of an int.
  zyl::detail::CommandText<48> command("-1B520");
  command.sdec(int64_t{channel} + 1, 1).append("0");
  command.hex(static_cast<uint32_t>(mode), 1, true).hex(value, 4, true);
  return sendAcknowledged(command.c_str());
}

unsigned int ZylInterface::SetI2C(unsigned char first, unsigned char second, unsigned char third) {
  zyl::detail::CommandText<16> command("-1B54");
  command.hex(first, 2).hex(second, 2).hex(third, 2);
  return sendAcknowledged(command.c_str());
}
