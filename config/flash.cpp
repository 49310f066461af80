// Whole-region flash transfer: one region of 65,536 bytes moves between the instrument and an
// image in one bulk transfer each way. The controller does not stream status while it works on
// its flash, so a streaming status thread is stopped first and, once stopped, started again on
// every path out.
#include <cstring>

#include "link/wire.h"
#include "zyl/ZylInterface.h"

namespace {

constexpr size_t kRegionSize = ZYL_FLASH_REGION_BYTES;
constexpr unsigned long kFlashTimeoutMs = 10000;
constexpr unsigned long kReadReplyTimeoutMs = 3000;
constexpr char kWriteCommand[] = "-1B62";
constexpr size_t kWriteCommandLength = sizeof kWriteCommand - 1;

// Offsets of the default tune and ion-source slots in region 1: four positions per kind, in the
// order group A first slot, group A alternate, group B first slot, group B alternate.
constexpr size_t kSimplifiedTuneSlots = 512, kSimplifiedTuneSize = 4096;
constexpr size_t kIonSourceSlots = 16896, kIonSourceSize = 1024;
constexpr size_t kFullTuneSlots = 20992, kFullTuneSize = 10240;

}  // namespace

static_assert(sizeof ZylInterface::configFlashImage == kRegionSize);

unsigned int ZylInterface::selectFlashRegion(int region) {
  if (!hasSecondFlash) return ZYL_SUCCESS;
  return sendAcknowledged(zyl::detail::CommandText<8>("-1B63").dec(region, 2).c_str());
}

unsigned int ZylInterface::ReadFlash(unsigned char* destination, int region) {
  if (hasSecondFlash && (region < 0 || region > 99)) return ZYL_INVALID_ARGUMENT;
  const bool suspended = suspendStatusStream();
  unsigned int result = selectFlashRegion(region);
  long length = sizeof flashTransferBuffer;
  if (result == ZYL_SUCCESS)
    result = ZylUSBExecuteCommand("-1B61", flashTransferBuffer, length, true, kFlashTimeoutMs,
                                  kReadReplyTimeoutMs);
  resumeStatusStream(suspended);
  if (result != ZYL_SUCCESS || !destination) return result;
  // A short region is its bytes and then zero bytes, never what the buffer held before.
  const size_t received = length < static_cast<long>(kRegionSize) ? size_t(length) : kRegionSize;
  std::memcpy(destination, flashTransferBuffer, received);
  std::memset(destination + received, 0, kRegionSize - received);
  return ZYL_SUCCESS;
}

unsigned int ZylInterface::WriteFlash(unsigned char* source, int region) {
  if (!source) return ZYL_INVALID_ARGUMENT;
  if (hasSecondFlash && (region < 0 || region > 99)) return ZYL_INVALID_ARGUMENT;
  const bool suspended = suspendStatusStream();
  unsigned int result = selectFlashRegion(region);
  if (result == ZYL_SUCCESS) result = sendAcknowledged("-1B60");
  if (result == ZYL_SUCCESS) {
    std::memcpy(flashTransferBuffer, kWriteCommand, kWriteCommandLength);
    std::memcpy(flashTransferBuffer + kWriteCommandLength, source, kRegionSize);
    DebugOut("%s", kWriteCommand);
    long length = static_cast<long>(kWriteCommandLength + kRegionSize);
    result = ZylUSBSendData(flashTransferBuffer, length, kFlashTimeoutMs);
  }
  if (result == ZYL_SUCCESS) {
    long received = sizeof ackBuffer;
    const unsigned int got = ZylUSBGetData(ackBuffer, received, kFlashTimeoutMs);
    if (got == ZYL_SUCCESS && received < static_cast<long>(sizeof ackBuffer))
      ackBuffer[received] = 0;
    if (got == ZYL_SUCCESS && zyl::detail::isAcknowledgement(ackBuffer, received, sizeof ackBuffer))
      DebugOut("ACK");
    else
      result = ZYL_NOT_ACKNOWLEDGED;
  }
  resumeStatusStream(suspended);
  return result;
}

unsigned char* ZylInterface::GetFlashAddr(bool ionSource, bool groupA, bool alternate, bool full) {
  const size_t position = (groupA ? 0 : 2) + (alternate ? 1 : 0);
  if (ionSource) return secondFlashImage + kIonSourceSlots + position * kIonSourceSize;
  if (full) return secondFlashImage + kFullTuneSlots + position * kFullTuneSize;
  return secondFlashImage + kSimplifiedTuneSlots + position * kSimplifiedTuneSize;
}
