// The status stream of V3 firmware: switching it on and off, and the thread that reads it.
//
// The thread owns statusText and statusDevice/statusEndpoint while it runs; it never sends a
// command and never writes the debug log (neither is safe beside the host's own thread). It
// touches nothing of the instrument object after clearing statusThreadRunning, so whoever sees
// the flag clear may free or reuse all of it.
//
// The thread reads the status pipe through the command channel (readStatusPipe), which says how
// each read ended; the pace of the loop follows from that:
//  - a frame, a time-out (the endpoint's 500 ms paces a silent instrument), a stall or any other
//    failure: the next read starts at once;
//  - a read woken by a stop or by EnableStatusReporting emptying the pipe (cancelled): the pass
//    ends without touching the text or calling back, and the next starts at once;
//  - no device (none can be opened, it has no status endpoint, or it went away; a device object
//    that lost its device is kept until the stream stops): the thread waits 100 ms before the
//    next pass, so an unplugged instrument does not keep a core busy; a failed read without a
//    callback empties the text, so a host never reads a stale status as a fresh one.
// While the instrument is not connected the thread idles in 1000 ms steps.
//
// Choices where the protocol leaves room:
//  - the thread counts as running from the moment EnableStatusReporting starts it, so an enable
//    followed at once by a disable always sends "-1B3100" and waits, and a second enable never
//    starts a second thread;
//  - enabling always empties the status pipe and sends "-1B3101", also while the thread runs (the
//    emptying then takes the pipe from the thread between two reads);
//  - stopping also aborts the thread's pending read, so a stop does not wait for the read's
//    500 ms time-out; after the flag poll the thread is joined.
#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "link/clock.h"
#include "zyl/ZylInterface.h"

namespace {

using zyl::usb::TransferResult;

constexpr size_t kStatusTextSize = 1024;
constexpr uint32_t kIdleMs = 1000;
constexpr uint32_t kNoDevicePauseMs = 100;
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
  clearStatusPipe();
  sendAcknowledged("-1B3101");
  statusReportingEnabled = 1;
  if (statusThreadRunning) return;

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
  abortStatusRead();
  while (statusThreadRunning) zyl::detail::clock().sleepMs(kFlagPollMs);
  if (statusThread.joinable()) statusThread.join();
  return true;
}

bool ZylInterface::suspendStatusStream() {
  return firmwareV3 && stopStatusReporting();
}

void ZylInterface::resumeStatusStream(bool suspended) {
  if (suspended) EnableStatusReporting(true);
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
    long length = static_cast<long>(sizeof frame);
    const TransferResult result = z.readStatusPipe(frame, length);
    if (result == TransferResult::cancelled) continue;
    const bool ok = result == TransferResult::ok;
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
    if (result == TransferResult::noDevice) idle(z.statusReportingEnabled, kNoDevicePauseMs);
  }

  z.releaseStatusPipe();
  {
    std::lock_guard lock(z.statusTextLock);
    delete[] z.statusText;
    z.statusText = nullptr;
  }
  z.statusThreadRunning = 0;  // last: the instrument object may go away from here on
}
