// Scans on both firmware generations.
//
// Older firmware answers the scan command with the whole scan: n data points of 4 bytes (least
// significant byte first, bit 31 inverted by the instrument), the status trailer (32 ADC readings
// and the digital inputs as 16-bit little-endian words, then the serial-device text) and n as a
// big-endian 32-bit number in the last 4 bytes. The library copies the reply into the caller's
// movable block (zyl/platform.h), restoring bit 31 of every point on the way, and applies the
// trailer to the status record. V3 firmware queues the scan and streams its data on the scan pipe,
// which the host reads with ZylUSBGetScanData; the library does not interpret those data.
//
// Choices where the protocol leaves the behaviour open:
//  - The scan reply buffer belongs to the instrument object (7,340,032 bytes plus a terminating
//    zero), allocated on its first scan and kept, so two instruments may scan at the same time.
//    If it cannot be allocated the scan returns ZYL_COMM_FAILURE before anything is sent.
//  - Scan ticks are computed exactly in 64-bit arithmetic (ms x 273066 / 940, truncated). Scan
//    times whose ticks do not fit the command's 32-bit field, that is above 14,784,957 ms, are
//    refused with ZYL_INVALID_ARGUMENT before anything is sent or stored.
//  - A block that cannot be locked (not a zyl::GlobalAlloc block), or one smaller than the reply,
//    gets nothing: the scan returns ZYL_INVALID_ARGUMENT. The trailer is still applied and
//    `pointCount` still written, since the instrument did scan.
//  - A reply shorter than 4n + 70 bytes (n from its last 4 bytes) delivers the points it holds:
//    `pointCount` is min(n, (length - 4) / 4), only those points have bit 31 restored, the rest
//    of the reply is copied as received, and the status record is left unchanged (its refresh time
//    too).
#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "link/wire.h"
#include "peripherals/output_word.h"
#include "zyl/ZylInterface.h"
#include "zyl/platform.h"

namespace {

constexpr long kScanReplyCapacity = ZYL_SCAN_REPLY_BYTES;
constexpr uint64_t kTicksPerMsNumerator = 273066;
constexpr uint64_t kTicksPerMsDenominator = 940;
constexpr uint64_t kMaxTicks = 0xFFFFFFFFu;
constexpr size_t kTrailerReadings = 32 * 2;
constexpr size_t kTrailerFixed = kTrailerReadings + 2;  // readings and digital inputs
constexpr size_t kCountBytes = 4;
constexpr unsigned short kFlushStart = 100, kFlushEnd = 200;
constexpr unsigned int kFlushTimeMs = 10;

uint64_t scanTicks(unsigned int scanTimeMs) {
  return uint64_t{scanTimeMs} * kTicksPerMsNumerator / kTicksPerMsDenominator;
}

uint32_t bigEndian32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

uint16_t littleEndian16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The instrument sends bit 31 of every point inverted; it sits in the top bit of each group's
// 4th byte. The inversion is undone while the points are copied, so the reply is read and the
// block written once, as a plain copy would. Points are little-endian on the wire, so on a
// little-endian host whole words are flipped.
void copyInverted(unsigned char* to, const unsigned char* from, size_t points) {
  size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Eight points per step: four independent words the compiler turns into vector operations.
    constexpr uint64_t kTopBits = 0x8000000080000000ull;
    for (; i + 8 <= points; i += 8) {
      uint64_t w[4];
      std::memcpy(w, from + 4 * i, sizeof w);
      for (uint64_t& x : w) x ^= kTopBits;
      std::memcpy(to + 4 * i, w, sizeof w);
    }
  }
  for (; i < points; ++i) {
    std::memcpy(to + 4 * i, from + 4 * i, 3);
    to[4 * i + 3] = from[4 * i + 3] ^ 0x80;
  }
}

}  // namespace

unsigned int ZylInterface::PerformScan(unsigned short start, unsigned short end,
                                       unsigned int scanTimeMs, void* dataHandle,
                                       unsigned short tailWord, unsigned int* pointCount) {
  return runScan(start, end, scanTimeMs, tailWord, true, dataHandle, pointCount);
}

void ZylInterface::FlushTuneParameters() {
  if (firmwareV3) return;
  runScan(kFlushStart, kFlushEnd, kFlushTimeMs, 0, false, nullptr, nullptr);
}

unsigned int ZylInterface::admitScan(unsigned short start, unsigned short end,
                                     unsigned int scanTimeMs, uint64_t& ticks) {
  DebugOut("Start scan from %u to %u in %lu ms", start, end,
           static_cast<unsigned long>(scanTimeMs));
  if (start >= end) return ZYL_START_NOT_BELOW_END;
  ticks = scanTicks(scanTimeMs);
  if (ticks > kMaxTicks) {
    DebugOut("Scan refused: %lu ms is too long", static_cast<unsigned long>(scanTimeMs));
    return ZYL_INVALID_ARGUMENT;
  }
  return ZYL_SUCCESS;
}

unsigned int ZylInterface::runScan(unsigned short start, unsigned short end,
                                   unsigned int scanTimeMs, unsigned short tailWord, bool deliver,
                                   void* dataHandle, unsigned int* pointCount) {
  uint64_t ticks = 0;
  if (unsigned int refused = admitScan(start, end, scanTimeMs, ticks)) return refused;
  if (!scanReplyBuffer) {
    scanReplyBuffer.reset(new (std::nothrow) unsigned char[kScanReplyCapacity + 1]);
    if (!scanReplyBuffer) {
      DebugOut("Scan refused: no memory for the scan reply");
      return ZYL_COMM_FAILURE;
    }
  }

  if (start != lastScanStart || end != lastScanEnd || scanTimeMs != lastScanTimeMs ||
      tailWord != lastScanTail)
    dacDirty = 1;
  if (dacDirty) {
    // A failed setup leaves dacDirty set, so the next scan sends the codes again.
    UpdateDACs(start, end, false,
               !zyl::detail::outputOn(digitalOutputs, zyl::detail::kPolarityChannel));
    lastScanStart = start;
    lastScanEnd = end;
    lastScanTimeMs = scanTimeMs;
    lastScanTail = tailWord;
  }

  DebugOut("Sending scan command");
  zyl::detail::CommandText<32> command("-1B900001");
  command.hex(start, 4).hex(end, 4).hex(ticks, 8).hex(tailWord, 4);
  unsigned char* reply = scanReplyBuffer.get();
  long length = kScanReplyCapacity;
  const unsigned int status = ZylUSBExecuteCommand(command.c_str(), reply, length, true, 10000,
                                                   2 * uint64_t{scanTimeMs} + 1000);
  if (status != ZYL_SUCCESS) return status;
  if (length < static_cast<long>(kCountBytes)) return ZYL_SUCCESS;
  return deliverScanReply(static_cast<size_t>(length), deliver, dataHandle, pointCount);
}

unsigned int ZylInterface::deliverScanReply(size_t received, bool deliver, void* dataHandle,
                                            unsigned int* pointCount) {
  unsigned char* reply = scanReplyBuffer.get();
  reply[received] = 0;
  const uint32_t n = bigEndian32(reply + received - kCountBytes);
  DebugOut("Copying memory - %lu data points", static_cast<unsigned long>(n));
  const size_t present = std::min<size_t>(n, (received - kCountBytes) / 4);

  unsigned int result = ZYL_SUCCESS;
  void* block = nullptr;
  if (deliver) {
    block = zyl::GlobalLock(dataHandle);
    if (block && zyl::GlobalSize(dataHandle) >= received) {
      auto* to = static_cast<unsigned char*>(block);
      copyInverted(to, reply, present);
      std::memcpy(to + 4 * present, reply + 4 * present, received - 4 * present);
    } else {
      DebugOut("Scan data not copied: the block %s",
               block ? "is smaller than the reply" : "cannot be locked");
      result = ZYL_INVALID_ARGUMENT;
    }
  }

  const size_t dataBytes = 4 * size_t{n};
  const bool complete = uint64_t{n} * 4 + kTrailerFixed + kCountBytes <= received;
  if (complete) {
    // The serial text runs up to the count (the copy to the host is already made).
    applyScanTrailer(reply + dataBytes, received - kCountBytes - dataBytes);
  }

  if (block) zyl::GlobalUnlock(dataHandle);
  if (pointCount) *pointCount = static_cast<unsigned int>(present);
  if (complete) lastStatusTimeMs = GetTimeMS();
  if (result != ZYL_SUCCESS) return result;
  DebugOut("Scan complete");
  return ZYL_SUCCESS;
}

void ZylInterface::applyScanTrailer(unsigned char* trailer, size_t length) {
  if (length < kTrailerFixed) return;
  for (size_t i = 0; i < 32; ++i) adcChannels[i] = littleEndian16(trailer + 2 * i);
  digitalInputs = littleEndian16(trailer + kTrailerReadings);
  // The caller cut the text at the count, so the parser never reads beyond the trailer.
  trailer[length] = 0;
  ParseSerialData(reinterpret_cast<char*>(trailer + kTrailerFixed));
}

unsigned int ZylInterface::PerformScanHS(unsigned short leadWord, unsigned short start,
                                         unsigned short end, unsigned int scanTimeMs,
                                         unsigned short tailWord, bool normalPolarity) {
  uint64_t ticks = 0;
  if (unsigned int refused = admitScan(start, end, scanTimeMs, ticks)) return refused;
  // V3 firmware gets every code with every scan: its DACs are not tracked by dacDirty.
  UpdateDACs(start, end, true, normalPolarity);

  DebugOut("Sending scan command");
  zyl::detail::CommandText<40> command("-1B90");
  command.hex(leadWord, 4).hex(start, 4).hex(end, 4).hex(ticks, 8).hex(tailWord, 4);
  command.append(normalPolarity ? "0B" : "04");
  sendAcknowledged(command.c_str());  // a failure shows in the host's reads of the scan pipe
  lastStatusTimeMs = GetTimeMS();
  DebugOut("Scan complete");
  return ZYL_SUCCESS;
}

unsigned int ZylInterface::ClearScanQueue() {
  if (!firmwareV3) return ZYL_SUCCESS;
  return sendAcknowledged("-1B9F");
}

unsigned int ZylInterface::initializeScanReading() {
  return clearScanPipe();
}
