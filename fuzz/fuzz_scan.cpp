// The scan reply of both firmware generations, chosen by bit 0 of the first input byte:
//   clear: older firmware. PerformScan receives the rest of the input as the reply to its scan
//     command (into the 7 MiB reply buffer) and copies it into the caller's block, which bits 4-7
//     make that many bytes smaller than the reply (0: exactly its size), so that a copy beyond
//     the block shows. Bit 2 switches heater readbacks in the trailer's serial text on. Beyond
//     memory safety it checks what reaches the block: every point present with bit 31 restored,
//     the rest of the reply as received.
//   set: V3 firmware. PerformScanHS is acknowledged, and the rest of the input arrives on the scan
//     pipe, one transfer per line, which the host reads with ZylUSBGetScanData into a 4096-byte
//     buffer.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "instrument.h"
#include "zyl/platform.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

void olderFirmware(zyl::fuzz::Instrument& instrument, ZylInterface& z, std::string_view reply,
                   size_t shrink) {
  instrument.answer({"-1B9000"}, {reply});
  const size_t blockSize = reply.size() > shrink ? reply.size() - shrink : 0;
  zyl::HGLOBAL block = zyl::GlobalAlloc(zyl::GHND, blockSize);
  if (!block) return;
  unsigned int points = 0xFFFFFFFFu;
  const unsigned int result = z.PerformScan(1000, 2000, 1000, block, 0, &points);
  if (reply.size() >= 4) {
    if (points > (reply.size() - 4) / 4) fail("more points counted than the reply holds");
    if (result == ZYL_SUCCESS) {
      if (shrink != 0) fail("a block smaller than the reply was accepted");
      const auto* got = static_cast<const unsigned char*>(zyl::GlobalLock(block));
      for (size_t i = 0; i < reply.size(); ++i) {
        const unsigned char flip = i < 4 * size_t{points} && i % 4 == 3 ? 0x80 : 0;
        if (got[i] != (static_cast<unsigned char>(reply[i]) ^ flip)) fail("block differs");
      }
      zyl::GlobalUnlock(block);
    }
  }
  zyl::GlobalFree(block);
}

void v3Firmware(zyl::fuzz::Instrument& instrument, ZylInterface& z, std::string_view data) {
  z.initializeScanReading();
  z.PerformScanHS(1, 1000, 2000, 1000, 0, true);
  for (std::string_view transfer : zyl::fuzz::lines(data))
    instrument.usb().queue(zyl::test::kScanIn, transfer);
  unsigned char buffer[4096];
  for (;;) {
    long length = sizeof buffer;
    if (z.ZylUSBGetScanData(buffer, length, 0) != ZYL_SUCCESS) break;
    if (length < 0 || length > static_cast<long>(sizeof buffer)) fail("scan read length");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool v3 = (data[0] & 1) != 0;
  const std::string_view input = zyl::fuzz::text(data + 1, size - 1);
  zyl::fuzz::Instrument& instrument = zyl::fuzz::Instrument::get();
  ZylInterface& z = instrument.reset(v3, (data[0] & 4) != 0);
  if (v3)
    v3Firmware(instrument, z, input);
  else
    olderFirmware(instrument, z, input, data[0] >> 4);
  return 0;
}
