// The status stream of V3 firmware: switching it on and off, and the thread that reads it.
//
// The thread owns statusText and statusDevice/statusEndpoint while it runs; it never sends a
// command and never writes the debug log (neither is safe beside the host's own thread). It
// touches nothing of the instrument object after clearing statusThreadRunning, so whoever sees
// the flag clear may free or reuse all of it.
//
// Choices where the protocol leaves room:
//  - the thread counts as running from the moment EnableStatusReporting starts it, so an enable
//    followed at once by a disable always sends "-1B3100" and waits, and a second enable never
//    starts a second thread;
//  - enabling while the thread runs neither empties the status pipe (the thread owns it) nor
//    starts anything; it sends "-1B3101" again;
//  - stopping also aborts the thread's pending read, so a stop does not wait for the read's
//    500 ms time-out; after the flag poll the thread is joined;
//  - with no device object or endpoint, or after a read that fails at once (a dead or stalled
//    pipe, not a time-out), the thread waits 1000 ms before the next pass, looking at the
//    enable flag every 100 ms; so does it while the instrument is not connected.
#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "link/clock.h"
#include "link/usb/CyUSB.h"
#include "zyl/ZylInterface.h"

namespace {

constexpr int kStatusPipe = 2;
constexpr size_t kStatusTextSize = 1024;
constexpr uint32_t kIdleMs = 1000;
constexpr uint32_t kFlagPollMs = 100;

// Sleeps `ms` in steps of kFlagPollMs, ending early once the stream is switched off.
void idle(const std::atomic<uint32_t>& enabled, uint32_t ms) {
  for (uint32_t slept = 0; slept < ms && enabled; slept += kFlagPollMs)
    zyl::detail::clock().sleepMs(kFlagPollMs);
}

}  // namespace

std::atomic<ZylStatusCallback> ZylInterface::statusCallback{nullptr};

void ZylInterface::SetStatusCallback(ZylStatusCallback callback) {
  statusCallback = callback;
}

void ZylInterface::EnableStatusReporting(bool enable) {
  if (!firmwareV3 || !enable) {
    stopStatusReporting();
    return;
  }
  const bool running = statusThreadRunning != 0;
  if (!running) clearStatusPipe();
  sendAcknowledged("-1B3101");
  statusReportingEnabled = 1;
  if (running) return;

  if (statusThread.joinable()) statusThread.join();  // one that was stopped without a join
  statusThreadRunning = 1;
  try {
    statusThread = std::thread(&ZylInterface::runStatusReadingThread, this);
  } catch (const std::system_error&) {
    // No thread to read the stream: switch it off again rather than leave it flowing unread.
    statusThreadRunning = 0;
    statusReportingEnabled = 0;
    sendAcknowledged("-1B3100");
  }
}

bool ZylInterface::stopStatusReporting() {
  if (!statusThreadRunning) {
    if (statusThread.joinable()) statusThread.join();
    return false;
  }
  sendAcknowledged("-1B3100");
  statusReportingEnabled = 0;
  {
    std::lock_guard lock(statusPipeLock);
    if (statusEndpoint) statusEndpoint->abortPipe();
  }
  while (statusThreadRunning) zyl::detail::clock().sleepMs(kFlagPollMs);
  if (statusThread.joinable()) statusThread.join();
  return true;
}

void ZylInterface::runStatusReadingThread(void* owner) {
  ZylInterface& z = *static_cast<ZylInterface*>(owner);
  {
    std::lock_guard lock(z.statusTextLock);
    z.statusText = new (std::nothrow) char[kStatusTextSize];
    if (z.statusText) z.statusText[0] = 0;
  }
  z.statusThreadRunning = 1;

  unsigned char frame[kStatusTextSize];
  while (z.statusReportingEnabled) {
    if (!z.connected() || !z.firmwareV3) {
      idle(z.statusReportingEnabled, kIdleMs);
      continue;
    }
    if (!z.statusDevice) {
      CCyUSBDevice* device = nullptr;
      CCyBulkEndPoint* endpoint = nullptr;
      z.openStreamingPipe(device, endpoint, kStatusPipe);
      std::lock_guard lock(z.statusPipeLock);
      z.statusDevice = device;
      z.statusEndpoint = endpoint;
    }
    if (!z.statusDevice) {  // sought again after the pause
      idle(z.statusReportingEnabled, kIdleMs);
      continue;
    }

    long length = 0;
    bool ok = false;
    bool failedAtOnce = true;
    if (z.statusEndpoint) {
      length = static_cast<long>(sizeof frame);
      const uint64_t started = zyl::detail::clock().monotonicMs();
      ok = z.statusEndpoint->transfer(frame, length);
      if (!ok)
        failedAtOnce = zyl::detail::clock().monotonicMs() - started < z.statusEndpoint->timeoutMs;
    }
    const ZylStatusCallback callback = statusCallback;
    if (ok || !callback) {
      const size_t n = std::min(static_cast<size_t>(std::max(length, 0L)), kStatusTextSize - 1);
      {
        std::lock_guard lock(z.statusTextLock);
        if (z.statusText) {
          std::memcpy(z.statusText, frame, n);
          z.statusText[n] = 0;
        }
      }
      if (n > 0) z.parseStatusFrame(reinterpret_cast<const char*>(frame), n);
      if (ok && callback && z.statusReportingEnabled) callback();
    }
    if (!ok && failedAtOnce) idle(z.statusReportingEnabled, kIdleMs);
  }

  {
    std::lock_guard lock(z.statusPipeLock);
    delete z.statusDevice;
    z.statusDevice = nullptr;
    z.statusEndpoint = nullptr;
  }
  {
    std::lock_guard lock(z.statusTextLock);
    delete[] z.statusText;
    z.statusText = nullptr;
  }
  z.statusThreadRunning = 0;  // last: the instrument object may go away from here on
}
