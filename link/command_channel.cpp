// The command channel: one command text out on the command pipe, one data reply or "ACK" back;
// the status and scan pipes that V3 firmware streams on; the two vendor requests.
#include <cstring>
#include <thread>

#include "link/clock.h"
#include "link/usb/CyUSB.h"
#include "link/wire.h"
#include "zyl/ZylInterface.h"

namespace {

using zyl::usb::TransferResult;

// The pipes: which bulk IN endpoint each reads (counted in the device's endpoint order) and its
// time-outs in ms. The command pipe's reads take the caller's time-out; the scan pipe's take the
// caller's plus `readMs`.
struct Pipe {
  int bulkIn;
  uint32_t readMs;
  uint32_t drainMs;
};
constexpr Pipe kCommandPipe{1, 0, 5};  // drainMs: the flush read of a freshly opened device
constexpr Pipe kStatusPipe{2, 500, 5};
constexpr Pipe kScanPipe{3, 500, 100};

constexpr uint8_t kVendorClearBuffers = 4;
constexpr uint8_t kVendorRenumerate = 5;
constexpr uint32_t kFlushPauseMs = 500;
constexpr int kFlushAttempts = 10;
constexpr char kVersionQuery[] = "-1B05";

}  // namespace

long ZylInterface::GlDummy = 0;

void ZylInterface::logBackendDiagnostic(void* self, const char* message) {
  static_cast<ZylInterface*>(self)->DebugOut("%s", message);
}

unsigned int ZylInterface::ZylUSBExecuteCommand(const char* command, unsigned char* reply,
                                                long& length, bool log, unsigned long sendTimeoutMs,
                                                unsigned long receiveTimeoutMs) {
  if (!command) return ZYL_INVALID_ARGUMENT;
  const size_t commandLength = strnlen(command, sizeof commandCopyBuffer);
  if (commandLength >= sizeof commandCopyBuffer) {
    if (log) DebugOut("Command refused: longer than %zu characters", sizeof commandCopyBuffer - 1);
    return ZYL_INVALID_ARGUMENT;
  }
  const long capacity = length;
  if (reply && capacity < 1) return ZYL_INVALID_ARGUMENT;  // no room even for the terminator

  if (log) DebugOut("%s", command);
  std::memcpy(commandCopyBuffer, command, commandLength);
  long toSend = static_cast<long>(commandLength);
  if (ZylUSBSendData(reinterpret_cast<unsigned char*>(commandCopyBuffer), toSend, sendTimeoutMs) !=
      ZYL_SUCCESS)
    return ZYL_COMM_FAILURE;

  if (reply) {
    reply[0] = 0;
    if (ZylUSBGetData(reply, length, receiveTimeoutMs) != ZYL_SUCCESS) return ZYL_COMM_FAILURE;
    if (length < capacity) {
      reply[length] = 0;
      if (log) DebugOut("%s", reinterpret_cast<const char*>(reply));
    } else if (log) {
      DebugOut("%lu bytes", static_cast<unsigned long>(length));
    }
    return ZYL_SUCCESS;
  }

  long received = sizeof ackBuffer;
  if (ZylUSBGetData(ackBuffer, received, receiveTimeoutMs) != ZYL_SUCCESS) return ZYL_COMM_FAILURE;
  if (received < static_cast<long>(sizeof ackBuffer)) ackBuffer[received] = 0;
  if (zyl::detail::isAcknowledgement(ackBuffer, received, sizeof ackBuffer)) {
    if (log) DebugOut("ACK");
    return ZYL_SUCCESS;
  }
  if (log) DebugOut("NO ACK");
  return ZYL_NOT_ACKNOWLEDGED;
}

unsigned int ZylInterface::sendAcknowledged(const char* command, bool log,
                                            unsigned long sendTimeoutMs,
                                            unsigned long receiveTimeoutMs) {
  return ZylUSBExecuteCommand(command, nullptr, GlDummy, log, sendTimeoutMs, receiveTimeoutMs);
}

unsigned int ZylInterface::ZylUSBSendData(unsigned char* data, long& length,
                                          unsigned long timeoutMs) {
  if (!commandDevice) {
    commandDevice = GetUSBDevice();
    if (!commandDevice) return ZYL_NO_DEVICE;
    DebugOut("Instrument opened through the %s back end", commandDevice->backendName());
    if (ZylUSBPreRead() != ZYL_SUCCESS) {
      delete commandDevice;
      commandDevice = nullptr;
      return ZYL_COMM_FAILURE;
    }
    if (scanDevice) {
      // The instrument was reopened: whatever the old scan pipe held belongs to the old link.
      delete scanDevice;
      scanDevice = nullptr;
      clearScanPipe();
    }
  }

  CCyBulkEndPoint* out = commandDevice->firstBulkOut;
  bool ok = false;
  if (out) {
    out->timeoutMs = static_cast<uint32_t>(timeoutMs);
    ok = out->transfer(data, length);
  }
  if (ok) {
    CommunicationState expected = CommNotConnected;
    communicationState.compare_exchange_strong(expected, CommNoResponse);
    return ZYL_SUCCESS;
  }
  communicationState = CommNotConnected;
  delete commandDevice;
  commandDevice = nullptr;
  return ZYL_COMM_FAILURE;
}

unsigned int ZylInterface::ZylUSBGetData(unsigned char* buffer, long& length,
                                         unsigned long timeoutMs) {
  if (!commandDevice || !commandDevice->firstBulkIn) return ZYL_COMM_FAILURE;
  CCyBulkEndPoint* in = commandDevice->firstBulkIn;
  in->timeoutMs = static_cast<uint32_t>(timeoutMs);
  if (in->transfer(buffer, length)) {
    if (!connected()) communicationState = CommConnected;
    return ZYL_SUCCESS;
  }
  if (connected()) communicationState = CommNoResponse;
  return ZYL_COMM_FAILURE;
}

unsigned int ZylInterface::ZylUSBPreRead() {
  for (int attempt = 0; attempt < kFlushAttempts; ++attempt) {
    if (!commandDevice) return ZYL_SUCCESS;
    if (!commandDevice->controlEndpoint ||
        !commandDevice->controlEndpoint->vendorRequest(kVendorClearBuffers))
      return ZYL_SUCCESS;
    CCyBulkEndPoint* out = commandDevice->firstBulkOut;
    CCyBulkEndPoint* in = commandDevice->firstBulkIn;
    // Not through commandCopyBuffer: it holds the command this flush is opening the pipe for.
    unsigned char query[sizeof kVersionQuery];
    std::memcpy(query, kVersionQuery, sizeof query);
    long queryLength = sizeof kVersionQuery - 1;
    if (!out || !in || !out->transfer(query, queryLength)) return ZYL_COMM_FAILURE;
    in->timeoutMs = kCommandPipe.drainMs;
    long got = sizeof drainBuffer;
    if (in->transfer(drainBuffer, got)) {
      while (got == static_cast<long>(sizeof drainBuffer)) {
        got = sizeof drainBuffer;
        if (!in->transfer(drainBuffer, got)) break;
      }
      return ZYL_SUCCESS;
    }
    zyl::detail::clock().sleepMs(kFlushPauseMs);
  }
  return ZYL_COMM_FAILURE;
}

unsigned int ZylInterface::ClearFX2Buffers() {
  if (!commandDevice || !commandDevice->controlEndpoint) return ZYL_COMM_FAILURE;
  return commandDevice->controlEndpoint->vendorRequest(kVendorClearBuffers) ? ZYL_SUCCESS
                                                                            : ZYL_COMM_FAILURE;
}

unsigned int ZylInterface::RenumFX2() {
  if (!commandDevice || !commandDevice->controlEndpoint) return ZYL_COMM_FAILURE;
  return commandDevice->controlEndpoint->vendorRequest(kVendorRenumerate) ? ZYL_SUCCESS
                                                                          : ZYL_COMM_FAILURE;
}

CCyUSBDevice* ZylInterface::GetUSBDevice(bool toDebugLog) {
  // Created closed: opening index 0 at creation would only be closed again by the first
  // openDevice below, and each open of a USB handle claims the interface anew.
  CCyDiagnostics diagnostics;
  if (toDebugLog) diagnostics = {&logBackendDiagnostic, this};
  auto* device = new CCyUSBDevice(false, usbBackend, diagnostics);
  const int count = device->deviceCount();
  for (int i = 0; i < count; ++i) {
    if (device->openDevice(i)) return device;
    device->resetParentPort();
    device->closeDevice();
    if (device->openDevice(i)) return device;
  }
  delete device;
  return nullptr;
}

CCyBulkEndPoint* ZylInterface::findUsbEndpoint(CCyUSBDevice* device, int n) {
  if (!device) return nullptr;
  int seen = 0;
  for (int i = 0; i < device->endpointCount(); ++i) {
    CCyUSBEndPoint* ep = device->endpoint(i);
    if (ep->in && ep->attributes == 2 && ++seen == n) return static_cast<CCyBulkEndPoint*>(ep);
  }
  return nullptr;
}

void ZylInterface::openStreamingPipe(CCyUSBDevice*& device, CCyBulkEndPoint*& endpoint, int k) {
  if (device) return;
  endpoint = nullptr;
  // The status pipe is read by the status thread, which never writes the debug log.
  device = GetUSBDevice(k != kStatusPipe.bulkIn);
  if (!device) return;
  endpoint = findUsbEndpoint(device, k);
  if (!endpoint) return;
  // Whatever the instrument queued before this pipe was opened is stale.
  endpoint->abortPipe();
  endpoint->resetPipe();
  if (k == kStatusPipe.bulkIn) endpoint->timeoutMs = kStatusPipe.readMs;
}

void ZylInterface::drain(CCyBulkEndPoint* endpoint) {
  long got = sizeof drainBuffer;
  while (endpoint->transfer(drainBuffer, got) && got == static_cast<long>(sizeof drainBuffer))
    got = sizeof drainBuffer;
}

// The status pipe is shared by the status thread and the host's thread (EnableStatusReporting
// empties it while the thread may be reading). statusPipeLock guards opening and releasing the
// device object; statusReadLock lets one transfer at a time use the endpoint. A host that wants
// the endpoint says so in statusPipeWanted and wakes the thread's pending read, and the thread
// lets it go first.

unsigned int ZylInterface::ensureStatusPipeAvailable() {
  std::lock_guard lock(statusPipeLock);
  openStreamingPipe(statusDevice, statusEndpoint, kStatusPipe.bulkIn);
  return statusEndpoint ? ZYL_SUCCESS : ZYL_COMM_FAILURE;
}

void ZylInterface::abortStatusRead() {
  std::lock_guard lock(statusPipeLock);
  if (statusEndpoint) statusEndpoint->abortPipe();
}

void ZylInterface::releaseStatusPipe() {
  std::lock_guard reading(statusReadLock);
  std::lock_guard lock(statusPipeLock);
  delete statusDevice;
  statusDevice = nullptr;
  statusEndpoint = nullptr;
}

unsigned int ZylInterface::clearStatusPipe() {
  if (ensureStatusPipeAvailable() != ZYL_SUCCESS) return ZYL_COMM_FAILURE;
  ++statusPipeWanted;
  abortStatusRead();
  {
    std::lock_guard reading(statusReadLock);
    --statusPipeWanted;
    if (!statusEndpoint) return ZYL_COMM_FAILURE;  // released meanwhile: the device went away
    statusEndpoint->timeoutMs = kStatusPipe.drainMs;
    drain(statusEndpoint);
    statusEndpoint->timeoutMs = kStatusPipe.readMs;
  }
  return ZYL_SUCCESS;
}

TransferResult ZylInterface::readStatusPipe(unsigned char* buffer, long& length) {
  if (ensureStatusPipeAvailable() != ZYL_SUCCESS) {
    length = 0;
    return TransferResult::noDevice;  // no device object, or one without a status endpoint
  }
  while (statusPipeWanted) std::this_thread::yield();  // a drain goes first
  TransferResult result = TransferResult::noDevice;
  {
    std::lock_guard reading(statusReadLock);
    if (!statusEndpoint) {
      length = 0;
      return result;
    }
    statusEndpoint->transfer(buffer, length);
    result = statusEndpoint->lastResult;
  }
  return result;
}

unsigned int ZylInterface::ZylUSBGetStatusData(unsigned char* buffer, long& length) {
  return readStatusPipe(buffer, length) == TransferResult::ok ? ZYL_SUCCESS : ZYL_COMM_FAILURE;
}

unsigned int ZylInterface::ensureScanPipeAvailable() {
  openStreamingPipe(scanDevice, scanEndpoint, kScanPipe.bulkIn);
  return scanEndpoint ? ZYL_SUCCESS : ZYL_COMM_FAILURE;
}

unsigned int ZylInterface::clearScanPipe() {
  if (ensureScanPipeAvailable() != ZYL_SUCCESS) return ZYL_COMM_FAILURE;
  scanEndpoint->timeoutMs = kScanPipe.drainMs;
  drain(scanEndpoint);
  return ZYL_SUCCESS;
}

unsigned int ZylInterface::ZylUSBGetScanData(unsigned char* buffer, long& length, int timeoutMs) {
  if (ensureScanPipeAvailable() != ZYL_SUCCESS) return ZYL_COMM_FAILURE;
  // In 64 bits: no wrap for extreme values.
  const int64_t total = int64_t{timeoutMs} + kScanPipe.readMs;
  scanEndpoint->timeoutMs = static_cast<uint32_t>(total < 0 ? 0 : total);
  return scanEndpoint->transfer(buffer, length) ? ZYL_SUCCESS : ZYL_COMM_FAILURE;
}
