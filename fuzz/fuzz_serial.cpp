// The serial passthrough's replies and the Modbus answers read through it. Bits 0-2 of the first
// input byte choose the operation (a digit in the seeds):
//   0: ZylUSBReadSerialASCII   1: ZylUSBReadSerialHex   (bits 3-7 + 1: the buffer's capacity)
//   2: ModbusReadRTU           3: ModbusReadASCII
//   4: ModbusWriteRTU          5: ModbusWriteASCII      (6 and 7 as 0 and 1)
// The rest of the input holds the replies to the port commands, one per line: availability
// queries ("-1B42") and byte fetches ("-1B43") in the order the library sends them; port set-up
// and writes are acknowledged. Reads go into a buffer of exactly the documented size, so a write
// beyond it shows; beyond memory safety the target checks the length a read reports.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "instrument.h"

namespace {

constexpr int kChannel = 6;
constexpr unsigned char kAddress = 1;
constexpr unsigned short kRegister = 402;  // a heater controller's temperature

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

// A read of `capacity` (the length passed in); the Hex form's buffer holds two characters per
// byte.
void read(ZylInterface& z, bool hex, long capacity) {
  const size_t bufferSize = hex ? 2 * static_cast<size_t>(capacity - 1) + 1 : size_t(capacity);
  const auto buffer = std::make_unique<char[]>(bufferSize);
  long length = capacity;
  if (hex)
    z.ZylUSBReadSerialHex(kChannel, buffer.get(), length);
  else
    z.ZylUSBReadSerialASCII(kChannel, buffer.get(), length);
  const long limit = hex ? 2 * (capacity - 1) : capacity - 1;
  if (length < 0 || length > limit || (hex && length % 2 != 0)) fail("read length");
  if (buffer[static_cast<size_t>(length)] != '\0') fail("read not terminated");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  zyl::fuzz::Instrument& instrument = zyl::fuzz::Instrument::get();
  ZylInterface& z = instrument.reset(false, false);
  instrument.answer({"-1B42", "-1B43"}, zyl::fuzz::lines(zyl::fuzz::text(data + 1, size - 1)));
  unsigned int value = 0;
  switch (data[0] & 7) {
    case 2:
      z.ModbusReadRTU(kChannel, kAddress, kRegister, &value);
      break;
    case 3:
      z.ModbusReadASCII(kChannel, kAddress, 0x03, kRegister, &value);
      break;
    case 4:
      z.ModbusWriteRTU(kChannel, kAddress, kRegister, 0x12345678);
      break;
    case 5:
      z.ModbusWriteASCII(kChannel, kAddress, 0x06, kRegister, 0x1234);
      break;
    default:
      read(z, (data[0] & 1) != 0, (data[0] >> 3) + 1);
  }
  return 0;
}
